// The package's compiled part `vantrel._C`: the operator entry points (the linear layers, attention
// and the decoding step's fused operators), the packed weights' quantizer and dequantizer, the
// table of what the kernels serve (table.cpp) and, on load, the operators' registration with
// PyTorch (registration.cpp).
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

#include "vantrel/bindings/decoder.h"
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

// What a parameter of an entry point accepts.
enum class kind { tensor, optional_tensor, integer, real };

struct parameter {
  const char* name;
  kind accepts;
};

const char* type_name(kind k) {
  switch (k) {
    case kind::tensor:
      return "Tensor";
    case kind::optional_tensor:
      return "Optional[Tensor]";
    case kind::integer:
      return "int";
    case kind::real:
      return "float";
  }
  return "";
}

// Why `obj` does not fit parameter i, or "" when it does. An int must fit in 64 bits; a bool is
// not taken for one; a float parameter takes a float or an int.
std::string mismatch(std::size_t i, const parameter& p, py::handle obj) {
  const std::string which = "argument " + std::to_string(i) + " (" + p.name + ") must be ";
  switch (p.accepts) {
    case kind::tensor:
      return THPVariable_Check(obj.ptr()) ? "" : which + "a torch.Tensor";
    case kind::optional_tensor:
      return THPVariable_Check(obj.ptr()) || obj.is_none() ? "" : which + "a torch.Tensor or None";
    case kind::integer: {
      if (!PyLong_Check(obj.ptr()) || PyBool_Check(obj.ptr())) return which + "an int";
      int overflow = 0;
      PyLong_AsLongLongAndOverflow(obj.ptr(), &overflow);
      return overflow ? which + "an int of 64 bits" : "";
    }
    case kind::real: {
      if (PyFloat_Check(obj.ptr())) return "";
      if (!PyLong_Check(obj.ptr()) || PyBool_Check(obj.ptr())) return which + "a float";
      PyLong_AsDouble(obj.ptr());  // an int beyond float64's range does not convert
      if (!PyErr_Occurred()) return "";
      PyErr_Clear();
      return which + "a float (an int within float64's range)";
    }
  }
  return "";
}

// The arguments of a call `fn(*args, **kwargs)` to an entry point with `params`, given by position
// or by name, in the order of `params`. Anything else raises TypeError naming the function, the
// parameters and what was passed.
template <std::size_t N>
std::array<py::handle, N> call_arguments(const char* fn, const std::array<parameter, N>& params,
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
    while (i < N && name != params[i].name) ++i;
    if (i == N)
      problem = "unexpected keyword argument '" + name + "'";
    else if (given[i])
      problem = "multiple values for argument '" + name + "'";
    else
      given[i] = value;
  }
  for (std::size_t i = 0; i < N && problem.empty(); ++i)
    problem = given[i] ? mismatch(i, params[i], given[i])
                       : std::string("missing argument '") + params[i].name + "'";
  if (!problem.empty()) {
    std::string msg = std::string(fn) + "(): incompatible function arguments: " + problem +
                      "\n    expected: " + fn + "(";
    for (std::size_t i = 0; i < N; ++i)
      msg += std::string(i ? ", " : "") + params[i].name + ": " + type_name(params[i].accepts);
    msg += ")\n    got: (";
    for (std::size_t i = 0; i < args.size(); ++i) msg += (i ? ", " : "") + describe(args[i]);
    for (const auto& [key, value] : kwargs)
      msg += (msg.back() == '(' ? "" : ", ") + py::str(key).cast<std::string>() + "=" +
             describe(value);
    throw py::type_error(msg + ")");
  }
  return given;
}

// The tensors of a call to an operator whose parameters `names` are all tensors.
template <std::size_t N>
std::array<at::Tensor, N> tensor_arguments(const char* fn, const std::array<const char*, N>& names,
                                           const py::args& args, const py::kwargs& kwargs) {
  std::array<parameter, N> params;
  for (std::size_t i = 0; i < N; ++i) params[i] = {names[i], kind::tensor};
  const std::array<py::handle, N> given = call_arguments(fn, params, args, kwargs);
  std::array<at::Tensor, N> out;
  for (std::size_t i = 0; i < N; ++i) out[i] = THPVariable_Unpack(given[i].ptr());
  return out;
}

at::Tensor as_tensor(py::handle obj) {
  return THPVariable_Unpack(obj.ptr());
}

c10::optional<at::Tensor> as_optional_tensor(py::handle obj) {
  if (obj.is_none()) return c10::nullopt;
  return as_tensor(obj);
}

}  // namespace

PYBIND11_MODULE(_C, m) {
  // The tensor conversions need torch's Python module, and the XPU device its extension,
  // whatever the caller imported first.
  py::module_::import("torch");
  py::module_::import("xpuemu");
  vantrel::bindings::bind_table(m);
  vantrel::bindings::bind_decoder(m);
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
      "forward_quantized",
      [](const py::args& args, const py::kwargs& kwargs) {
        const auto a = call_arguments<6>("forward_quantized",
                                         {{{"input", kind::tensor},
                                           {"qweight", kind::tensor},
                                           {"scales", kind::tensor},
                                           {"zeros", kind::optional_tensor},
                                           {"bits", kind::integer},
                                           {"group_size", kind::integer}}},
                                         args, kwargs);
        const at::Tensor input = as_tensor(a[0]), qweight = as_tensor(a[1]),
                         scales = as_tensor(a[2]);
        const c10::optional<at::Tensor> zeros = as_optional_tensor(a[3]);
        const int64_t bits = a[4].cast<int64_t>(), group_size = a[5].cast<int64_t>();
        return xpuemu::without_gil([&] {
          return vantrel::ops::linear_quantized_forward(input, qweight, scales, zeros, bits,
                                                        group_size);
        });
      },
      "forward_quantized(input: torch.Tensor, qweight: torch.Tensor, scales: torch.Tensor, "
      "zeros: Optional[torch.Tensor], bits: int, group_size: int) -> torch.Tensor\n\n"
      "Linear forward (XPU) on packed 4- or 8-bit weights in the layout of the input's width "
      "(zeros None: symmetric codes, zero 2^(bits-1)). Half inputs of 1 to 8 rows whose width has "
      "a kernel run the packed kernel (quantized_kernel names it), which reads the packed bytes "
      "once; other calls dequantize the weights on the device and take forward's path. Either "
      "way the result equals forward(input, dequantized weights) bit for bit.\n");
  m.def(
      "quantize_weights",
      [](const at::Tensor& w, int64_t bits, int64_t group_size, bool symmetric) {
        return xpuemu::without_gil(
            [&] { return vantrel::ops::quantize_weights(w, bits, group_size, symmetric); });
      },
      py::arg("w"), py::arg("bits"), py::arg("group_size"), py::arg("symmetric") = false,
      "quantize_weights(w: torch.Tensor, bits: int, group_size: int, symmetric: bool = False) -> "
      "Tuple[torch.Tensor, torch.Tensor, Optional[torch.Tensor]]\n\n"
      "Row-major weights w [N, K] (float16, bfloat16 or float32) as (qweight, scales, zeros) in "
      "the packed layout of width K, on w's device; zeros is None when symmetric. Per row and "
      "group of group_size features, in float64: s = (max - min) / (2^bits - 1) over the group "
      "with 0 included in its range (symmetric: max|w| / (2^(bits-1) - 1)), rounded to half and "
      "raised to at least 2^-24; z = round(-min / s) (symmetric: 2^(bits-1)); "
      "q = clamp(round(w / s) + z, 0, 2^bits - 1), rounding half to even.\n");
  m.def(
      "dequantize_weights",
      [](const at::Tensor& qweight, const at::Tensor& scales,
         const c10::optional<at::Tensor>& zeros, int64_t bits, int64_t group_size) {
        return xpuemu::without_gil([&] {
          return vantrel::ops::dequantize_weights(qweight, scales, zeros, bits, group_size);
        });
      },
      py::arg("qweight"), py::arg("scales"), py::arg("zeros").none(true), py::arg("bits"),
      py::arg("group_size"),
      "dequantize_weights(qweight: torch.Tensor, scales: torch.Tensor, "
      "zeros: Optional[torch.Tensor], bits: int, group_size: int) -> torch.Tensor\n\n"
      "Packed weights back to half row-major [N, K] on their device: (q - z) * s in float32, "
      "rounded to half once (z = 2^(bits-1) when zeros is None). K is read from qweight: "
      "[N/16, K, 16*bits/8] for the arranged widths, [N, K*bits/8] for the others.\n");
  m.def(
      "add_rms_norm",
      [](const py::args& args, const py::kwargs& kwargs) {
        const auto a = call_arguments<4>("add_rms_norm",
                                         {{{"residual", kind::tensor},
                                           {"delta", kind::optional_tensor},
                                           {"weight", kind::tensor},
                                           {"eps", kind::real}}},
                                         args, kwargs);
        const at::Tensor residual = as_tensor(a[0]), weight = as_tensor(a[2]);
        const c10::optional<at::Tensor> delta = as_optional_tensor(a[1]);
        const double eps = a[3].cast<double>();
        return xpuemu::without_gil(
            [&] { return vantrel::ops::add_rms_norm(residual, delta, weight, eps); });
      },
      "add_rms_norm(residual: torch.Tensor, delta: Optional[torch.Tensor], weight: torch.Tensor, "
      "eps: float) -> torch.Tensor\n\n"
      "Residual add and RMSNorm (XPU): residual (float32 [M, H], contiguous) += float(delta) in "
      "place when delta (half [M, H], rows of contiguous elements) is given; returns half [M, H] "
      "= half((residual * r) * weight) with r = 1 / sqrt(sum(residual^2) / H + eps) per row, "
      "weight float32 [H]. H a multiple of 16 up to 32768.\n");
  m.def(
      "rotary_cache",
      [](const py::args& args, const py::kwargs& kwargs) {
        const auto a = call_arguments<8>("rotary_cache",
                                         {{{"qkv", kind::tensor},
                                           {"cos", kind::tensor},
                                           {"sin", kind::tensor},
                                           {"k_cache", kind::tensor},
                                           {"v_cache", kind::tensor},
                                           {"start", kind::integer},
                                           {"heads", kind::integer},
                                           {"kv_heads", kind::integer}}},
                                         args, kwargs);
        const at::Tensor qkv = as_tensor(a[0]), cos = as_tensor(a[1]), sin = as_tensor(a[2]),
                         k_cache = as_tensor(a[3]), v_cache = as_tensor(a[4]);
        const int64_t start = a[5].cast<int64_t>(), heads = a[6].cast<int64_t>(),
                      kv_heads = a[7].cast<int64_t>();
        return xpuemu::without_gil([&] {
          return vantrel::ops::rotary_cache(qkv, cos, sin, k_cache, v_cache, start, heads,
                                            kv_heads);
        });
      },
      "rotary_cache(qkv: torch.Tensor, cos: torch.Tensor, sin: torch.Tensor, "
      "k_cache: torch.Tensor, v_cache: torch.Tensor, start: int, heads: int, kv_heads: int) -> "
      "torch.Tensor\n\n"
      "Rotary embedding and cache writes of C new positions (XPU): qkv half [B * C, >= (heads + "
      "2 * kv_heads) * D] holds the queries, keys and values of positions start .. start + C - 1 "
      "of B = k_cache.size(0) sequences (row b * C + c); keys, turned by the rows of cos and sin "
      "(float32 [P, D], sin signed: x_i * cos[p, i] + x_(i + D/2 mod D) * sin[p, i]), and values "
      "are written into rows start + c of k_cache and v_cache (half [B, kv_heads, L, D]); returns "
      "the turned queries, half [B, heads, C, D]. D a multiple of 16 up to 256.\n");
  m.def(
      "silu_mul",
      [](const py::args& args, const py::kwargs& kwargs) {
        const auto a = call_arguments<2>(
            "silu_mul", {{{"gate_up", kind::tensor}, {"intermediate", kind::integer}}}, args,
            kwargs);
        const at::Tensor gate_up = as_tensor(a[0]);
        const int64_t intermediate = a[1].cast<int64_t>();
        return xpuemu::without_gil([&] { return vantrel::ops::silu_mul(gate_up, intermediate); });
      },
      "silu_mul(gate_up: torch.Tensor, intermediate: int) -> torch.Tensor\n\n"
      "SiLU gating (XPU): gate_up half [M, >= 2 * intermediate] (rows of contiguous elements); "
      "returns half [M, intermediate] = half(silu(g) * u), g = gate_up[:, :intermediate] and "
      "u = gate_up[:, intermediate:2 * intermediate] in float32, silu(g) = g / (1 + exp(-g)). "
      "intermediate a multiple of 16 up to 65536.\n");
  m.def(
      "sdp_forward",
      [](const py::args& args, const py::kwargs& kwargs) {
        auto [q, k, v] = tensor_arguments<3>("sdp_forward", {"q", "k", "v"}, args, kwargs);
        return xpuemu::without_gil([&] { return vantrel::ops::sdp_forward(q, k, v); });
      },
      "sdp_forward(q: torch.Tensor, k: torch.Tensor, v: torch.Tensor) -> torch.Tensor\n\n"
      "SDP forward (XPU)\n");
}
