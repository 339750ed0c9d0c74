// Python module `xpuemu`: waiting for the device, the launch log and the checker's switches.
// Importing it loads the XPU device into PyTorch; the import fails if another XPU backend was
// there first.
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "xpuemu/runtime.hpp"

namespace py = pybind11;

namespace xpuemu {
// Defined by the XPU device (libxpuemu).
bool torch_device_ok();
const std::string& torch_device_error();
}  // namespace xpuemu

namespace {

py::dict traffic(const std::map<std::uintptr_t, std::uint64_t>& bytes_by_allocation) {
  py::dict d;
  for (const auto& [address, bytes] : bytes_by_allocation) d[py::int_(address)] = py::int_(bytes);
  return d;
}

py::list launch_log() {
  std::vector<xpuemu::launch_record> records;
  {
    py::gil_scoped_release release;
    records = xpuemu::launch_log();
  }
  py::list out;
  for (const auto& r : records) {
    py::dict d;
    d["kernel"] = r.kernel;
    d["global"] = py::make_tuple(r.global[0], r.global[1]);
    d["local"] = py::make_tuple(r.local[0], r.local[1]);
    d["slm_bytes"] = r.slm_bytes;
    d["barriers"] = r.barriers;
    d["loads"] = traffic(r.loads);
    d["loads_unique"] = traffic(r.loads_unique);
    d["stores"] = traffic(r.stores);
    if (!r.error.empty()) d["error"] = r.error;
    out.append(std::move(d));
  }
  return out;
}

}  // namespace

PYBIND11_MODULE(xpuemu, m) {
  if (!xpuemu::torch_device_ok()) throw py::import_error(xpuemu::torch_device_error());
  py::module_::import("torch");
  m.doc() = "The emulated XPU device: waiting, launch log and memory-checker switches";

  m.def(
      "synchronize",
      [] {
        py::gil_scoped_release release;
        xpuemu::synchronize();
      },
      "Waits for every submitted kernel; raises RuntimeError with the earliest failure not yet "
      "reported (and how many more there were), then forgets them.");
  m.def("launch_log", &launch_log,
        "Waits for every submitted kernel and returns the latest launch records in submission "
        "order (never raises a kernel failure).");
  m.def("clear_launch_log", &xpuemu::clear_launch_log,
        "Drops the records of every launch submitted so far.");
  m.def("set_checking", &xpuemu::set_checking, py::arg("on"),
        "Turns the memory checks and traffic counters of kernel accesses on or off.");
  m.def("set_poison", &xpuemu::set_poison, py::arg("on"),
        "Turns the 0xFF fill of new allocations and of shared local memory on or off.");

  // Kernels still queued at interpreter exit run to completion before the runtime goes away.
  m.def(
      "_wait_idle",
      [] {
        py::gil_scoped_release release;
        xpuemu::wait_idle();
      },
      "Waits for every submitted kernel without reporting failures.");
  py::module_::import("atexit").attr("register")(m.attr("_wait_idle"));
}
