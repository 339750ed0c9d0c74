// The operators registered with PyTorch's dispatcher, as PyTorch's C++ extensions register theirs:
// torch.ops.vantrel.forward, forward_quantized, sdp_forward, add_rms_norm, rotary_cache and
// silu_mul, with schemas (the fused operators' written arguments annotated), so that torch.fx
// traces them, TorchScript compiles and saves calls to them, and meta tensors run them for shapes.
// They share every check and message with the module's functions of the same names.
#include <torch/library.h>

#include "vantrel/ops/ops.h"

TORCH_LIBRARY(vantrel, m) {
  m.def("forward(Tensor input, Tensor weights) -> Tensor");
  m.def(
      "forward_quantized(Tensor input, Tensor qweight, Tensor scales, Tensor? zeros, int bits, "
      "int group_size) -> Tensor");
  m.def("sdp_forward(Tensor q, Tensor k, Tensor v) -> Tensor");
  m.def("add_rms_norm(Tensor(a!) residual, Tensor? delta, Tensor weight, float eps) -> Tensor");
  m.def(
      "rotary_cache(Tensor qkv, Tensor cos, Tensor sin, Tensor(a!) k_cache, Tensor(b!) v_cache, "
      "int start, int heads, int kv_heads) -> Tensor");
  m.def("silu_mul(Tensor gate_up, int intermediate) -> Tensor");
}

// On the device. A CPU tensor among the arguments dispatches to XPU when another one is on the
// device, and to CPU otherwise: both report the argument that is not on the device.
TORCH_LIBRARY_IMPL(vantrel, XPU, m) {
  m.impl("forward", &vantrel::ops::linear_forward);
  m.impl("forward_quantized", &vantrel::ops::linear_quantized_forward);
  m.impl("sdp_forward", &vantrel::ops::sdp_forward);
  m.impl("add_rms_norm", &vantrel::ops::add_rms_norm);
  m.impl("rotary_cache", &vantrel::ops::rotary_cache);
  m.impl("silu_mul", &vantrel::ops::silu_mul);
}
TORCH_LIBRARY_IMPL(vantrel, CPU, m) {
  m.impl("forward", &vantrel::ops::linear_forward);
  m.impl("forward_quantized", &vantrel::ops::linear_quantized_forward);
  m.impl("sdp_forward", &vantrel::ops::sdp_forward);
  m.impl("add_rms_norm", &vantrel::ops::add_rms_norm);
  m.impl("rotary_cache", &vantrel::ops::rotary_cache);
  m.impl("silu_mul", &vantrel::ops::silu_mul);
}

// Shapes only, nothing launched.
TORCH_LIBRARY_IMPL(vantrel, Meta, m) {
  m.impl("forward", &vantrel::ops::linear_forward_meta);
  m.impl("forward_quantized", &vantrel::ops::linear_quantized_forward_meta);
  m.impl("sdp_forward", &vantrel::ops::sdp_forward_meta);
  m.impl("add_rms_norm", &vantrel::ops::add_rms_norm_meta);
  m.impl("rotary_cache", &vantrel::ops::rotary_cache_meta);
  m.impl("silu_mul", &vantrel::ops::silu_mul_meta);
}
// Lazily negated tensors reach the operators that write an argument as they are: they read inputs
// with their sign and refuse a written argument naming it. PyTorch's negation fallback expects a
// writing operator to return the argument it writes, and fails an internal assertion on these.
TORCH_LIBRARY_IMPL(vantrel, Negative, m) {
  m.impl("add_rms_norm", torch::CppFunction::makeFallthrough());
  m.impl("rotary_cache", torch::CppFunction::makeFallthrough());
}

// Meta tensors carry the AutogradMeta key, which this PyTorch does not fall through by itself.
TORCH_LIBRARY_IMPL(vantrel, AutogradMeta, m) {
  m.impl("forward", torch::CppFunction::makeFallthrough());
  m.impl("forward_quantized", torch::CppFunction::makeFallthrough());
  m.impl("sdp_forward", torch::CppFunction::makeFallthrough());
  m.impl("add_rms_norm", torch::CppFunction::makeFallthrough());
  m.impl("rotary_cache", torch::CppFunction::makeFallthrough());
  m.impl("silu_mul", torch::CppFunction::makeFallthrough());
}
