// Python module `xpuemu`: waiting for the device, the launch log, the time spent in host
// operations and the checker's switches.
// Importing it loads the XPU device into PyTorch; the import fails if another XPU backend was
// there first.
#include <pybind11/pybind11.h>
#include <torch/csrc/Exceptions.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "xpuemu/python_wait.hpp"
#include "xpuemu/runtime.hpp"
#include "xpuemu/torch_device.hpp"

namespace py = pybind11;

namespace {

std::thread::id g_main_thread;

// The runtime's wait hook: on the main thread (where Python runs signal handlers), runs the
// handlers of signals received meanwhile; an exception they raise (KeyboardInterrupt) ends the
// wait as a pending Python error, which PyTorch's bindings and the functions below raise.
void run_signal_handlers() {
  if (std::this_thread::get_id() != g_main_thread || !Py_IsInitialized() || _Py_IsFinalizing())
    return;
  py::gil_scoped_acquire gil;
  if (PyErr_CheckSignals() == 0) return;
  python_error error;
  error.persist();
  throw error;
}

py::dict traffic(const std::map<std::uintptr_t, std::uint64_t>& bytes_by_allocation) {
  py::dict d;
  for (const auto& [address, bytes] : bytes_by_allocation) d[py::int_(address)] = py::int_(bytes);
  return d;
}

py::list launch_log() {
  const std::vector<xpuemu::launch_record> records =
      xpuemu::without_gil([] { return xpuemu::launch_log(); });
  py::list out;
  for (const auto& r : records) {
    py::dict d;
    d["kernel"] = r.kernel;
    d["global"] = py::make_tuple(r.global[0], r.global[1]);
    d["local"] = py::make_tuple(r.local[0], r.local[1]);
    d["slm_bytes"] = r.slm_bytes;
    d["barriers"] = r.barriers;
    d["start_ns"] = r.start_ns;
    d["end_ns"] = r.end_ns;
    d["loads"] = traffic(r.loads);
    d["loads_unique"] = traffic(r.loads_unique);
    d["stores"] = traffic(r.stores);
    if (!r.error.empty()) d["error"] = r.error;
    out.append(std::move(d));
  }
  return out;
}

}  // namespace

PYBIND11_MODULE(_C, m) {
  if (!xpuemu::torch_device_ok()) throw py::import_error(xpuemu::torch_device_error());
  py::module_::import("torch");
  m.doc() =
      "The emulated XPU device: waiting, launch log, host operation time and memory-checker "
      "switches";

  m.def(
      "synchronize", [] { xpuemu::without_gil([] { xpuemu::synchronize(); }); },
      "Waits for every submitted kernel; raises RuntimeError with the earliest failure not yet "
      "reported (and how many more there were), then forgets them. A signal ends the wait with "
      "its handler's exception (KeyboardInterrupt); the kernels run on.");
  m.def("launch_log", &launch_log,
        "Waits for every submitted kernel and returns the latest launch records in submission "
        "order (never raises a kernel failure). start_ns and end_ns are on the clock of "
        "time.monotonic_ns().");
  m.def("clear_launch_log", &xpuemu::clear_launch_log,
        "Drops the records of every launch submitted so far.");
  m.def(
      "host_op_time",
      [] {
        const xpuemu::host_op_totals t = xpuemu::host_op_totals_now();
        return py::make_tuple(t.calls, static_cast<double>(t.ns) * 1e-9);
      },
      "Returns (calls, seconds) of the host operations on XPU tensors since the process started: "
      "the ops the device runs on the calling thread instead of as kernels (the CPU fallback of "
      "every op without an XPU kernel, the Half mm/addmm/bmm, copies to, from and within the "
      "device, .item()). Each is timed after its wait for earlier kernels; an op run inside "
      "another counts as part of it. Take differences to time a section.");
  m.def("set_checking", &xpuemu::set_checking, py::arg("on"),
        "Turns the memory checks and traffic counters of kernel accesses on or off.");
  m.def("set_poison", &xpuemu::set_poison, py::arg("on"),
        "Turns the 0xFF fill of new allocations and of shared local memory on or off.");
  m.def("set_launch_timeout", &xpuemu::set_launch_timeout, py::arg("seconds"),
        "Sets the time limit of one launch in seconds (0: none; XPUEMU_LAUNCH_TIMEOUT_S sets the "
        "initial value). A work-item still running past it fails the launch at its next memory "
        "access or barrier.");
  m.def("launch_timeout", &xpuemu::launch_timeout,
        "Returns the time limit of one launch in seconds (0: none).");

  // torch.save and torch.load of XPU tensors: their storages are saved tagged "xpu" and loaded
  // back onto the device (map_location="cpu" loads them on the CPU, as for any device).
  py::module_::import("torch.serialization")
      .attr("register_package")(
          23, py::cpp_function([](const py::object& storage) -> py::object {
            if (storage.attr("device").attr("type").cast<std::string>() == "xpu")
              return py::str("xpu");
            return py::none();
          }),
          py::cpp_function([](const py::object& storage,
                              const std::string& location) -> py::object {
            if (location != "xpu" && location.rfind("xpu:", 0) != 0) return py::none();
            if (location != "xpu" && location != "xpu:0")
              throw py::value_error("cannot load onto " + location + ": the device has only xpu:0");
            const py::object torch = py::module_::import("torch");
            py::object out =
                torch.attr("UntypedStorage")(storage.attr("nbytes")(), py::arg("device") = "xpu");
            if (!py::getattr(storage, "_torch_load_uninitialized", py::bool_(false)).cast<bool>())
              out.attr("copy_")(storage);
            return out;
          }));

  g_main_thread = std::this_thread::get_id();
  xpuemu::set_wait_hook(&run_signal_handlers);

  // Kernels still queued at interpreter exit run to completion before the runtime goes away; a
  // failure nobody waited for is printed rather than lost.
  m.def(
      "_wait_idle",
      [] {
        xpuemu::without_gil([] {
          try {
            xpuemu::synchronize();
          } catch (const xpuemu::launch_error& e) {
            std::fprintf(stderr, "xpuemu: a kernel failure was never reported: %s\n", e.what());
          } catch (
              const std::runtime_error&) {  // a forked child: nothing of the parent's to wait for
          }
        });
      },
      "Waits for every submitted kernel; prints a failure not yet reported to stderr.");
  py::module_::import("atexit").attr("register")(m.attr("_wait_idle"));
}
