// The package's compiled part `vantrel._C`: the two operator entry points, the table of what the
// kernels serve (table.cpp) and, on load, the operators' registration with PyTorch
// (registration.cpp).
//
// The entry points take their arguments as Python objects and convert them here: a wrong argument
// is reported by type, dtype, shape and device (never by the tensor's repr, which can take seconds
// and gigabytes for a large view). The interpreter lock is released while an operator checks,
// submits, waits and computes, and held only while Python objects are touched.
#include <c10/util/Exception.h>
#include <torch/extension.h>

#include <array>
#include <sstream>
#include <string>

#include "vantrel/bindings/table.h"
#include "vantrel/ops/ops.h"
#include "xpuemu/python_wait.hpp"

namespace py = pybind11;

namespace {

// ---- arguments ----------------------------------------------------------------------------------

// "torch.Tensor(dtype=torch.float16, shape=[1, 4096], device=xpu:0)" for a tensor, the type's name
// for anything else: metadata only, whatever the size of the object.
std::string describe(py::handle obj) {
  if (!THPVariable_Check(obj.ptr())) return Py_TYPE(obj.ptr())->tp_name;
  const at::Tensor& t = THPVariable_Unpack(obj.ptr());
  std::ostringstream s;
  s << "torch.Tensor(dtype=" << py::str(obj.attr("dtype")).cast<std::string>()
    << ", shape=" << t.sizes() << ", device=" << t.device() << ")";
  return s.str();
}

// The tensors of a call `fn(*args, **kwargs)` to an operator whose parameters `names` are all
// tensors, given by position or by name. Anything else raises TypeError naming the function, the
// parameters and what was passed.
template <std::size_t N>
std::array<at::Tensor, N> tensor_arguments(const char* fn, const std::array<const char*, N>& names,
                                           const py::args& args, const py::kwargs& kwargs) {
  std::array<py::handle, N> given{};
  std::string problem;
  if (args.size() > N)
    problem =
        "takes " + std::to_string(N) + " arguments, " + std::to_string(args.size()) + " given";
  for (std::size_t i = 0; i < args.size() && i < N; ++i) given[i] = args[i];
  for (const auto& [key, value] : kwargs) {
    if (!problem.empty()) break;
    const std::string name = py::str(key).cast<std::string>();
    std::size_t i = 0;
    while (i < N && name != names[i]) ++i;
    if (i == N)
      problem = "unexpected keyword argument '" + name + "'";
    else if (given[i])
      problem = "multiple values for argument '" + name + "'";
    else
      given[i] = value;
  }
  for (std::size_t i = 0; i < N && problem.empty(); ++i) {
    if (!given[i])
      problem = std::string("missing argument '") + names[i] + "'";
    else if (!THPVariable_Check(given[i].ptr()))
      problem = std::string("argument ") + std::to_string(i) + " (" + names[i] +
                ") must be a torch.Tensor";
  }
  if (!problem.empty()) {
    std::string msg = std::string(fn) + "(): incompatible function arguments: " + problem +
                      "\n    expected: " + fn + "(";
    for (std::size_t i = 0; i < N; ++i) msg += std::string(i ? ", " : "") + names[i] + ": Tensor";
    msg += ")\n    got: (";
    for (std::size_t i = 0; i < args.size(); ++i) msg += (i ? ", " : "") + describe(args[i]);
    for (const auto& [key, value] : kwargs)
      msg += (msg.back() == '(' ? "" : ", ") + py::str(key).cast<std::string>() + "=" +
             describe(value);
    throw py::type_error(msg + ")");
  }
  std::array<at::Tensor, N> out;
  for (std::size_t i = 0; i < N; ++i) out[i] = THPVariable_Unpack(given[i].ptr());
  return out;
}

}  // namespace

PYBIND11_MODULE(_C, m) {
  // The tensor conversions need torch's Python module, and the XPU device its extension,
  // whatever the caller imported first.
  py::module_::import("torch");
  py::module_::import("xpuemu");
  vantrel::bindings::bind_table(m);
  py::options options;
  options.disable_function_signatures();
  m.def(
      "forward",
      [](const py::args& args, const py::kwargs& kwargs) {
        auto [input, weights] = tensor_arguments<2>("forward", {"input", "weights"}, args, kwargs);
        return xpuemu::without_gil([&] { return vantrel::ops::linear_forward(input, weights); });
      },
      "forward(input: torch.Tensor, weights: torch.Tensor) -> torch.Tensor\n\n"
      "Linear forward (XPU)\n");
  m.def(
      "sdp_forward",
      [](const py::args& args, const py::kwargs& kwargs) {
        auto [q, k, v] = tensor_arguments<3>("sdp_forward", {"q", "k", "v"}, args, kwargs);
        return xpuemu::without_gil([&] { return vantrel::ops::sdp_forward(q, k, v); });
      },
      "sdp_forward(q: torch.Tensor, k: torch.Tensor, v: torch.Tensor) -> torch.Tensor\n\n"
      "SDP forward (XPU)\n");
}
