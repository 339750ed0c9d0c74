// The operators registered with PyTorch's dispatcher, as PyTorch's C++ extensions register theirs:
// torch.ops.vantrel.forward, torch.ops.vantrel.forward_quantized and torch.ops.vantrel.sdp_forward,
// with schemas, so that torch.fx
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
}

// On the device. A CPU tensor among the arguments dispatches to XPU when another one is on the
// device, and to CPU otherwise: both report the argument that is not on the device.
TORCH_LIBRARY_IMPL(vantrel, XPU, m) {
  m.impl("forward", &vantrel::ops::linear_forward);
  m.impl("forward_quantized", &vantrel::ops::linear_quantized_forward);
  m.impl("sdp_forward", &vantrel::ops::sdp_forward);
}
TORCH_LIBRARY_IMPL(vantrel, CPU, m) {
  m.impl("forward", &vantrel::ops::linear_forward);
  m.impl("forward_quantized", &vantrel::ops::linear_quantized_forward);
  m.impl("sdp_forward", &vantrel::ops::sdp_forward);
}

// Shapes only, nothing launched.
TORCH_LIBRARY_IMPL(vantrel, Meta, m) {
  m.impl("forward", &vantrel::ops::linear_forward_meta);
  m.impl("forward_quantized", &vantrel::ops::linear_quantized_forward_meta);
  m.impl("sdp_forward", &vantrel::ops::sdp_forward_meta);
}
// Meta tensors carry the AutogradMeta key, which this PyTorch does not fall through by itself.
TORCH_LIBRARY_IMPL(vantrel, AutogradMeta, m) {
  m.impl("forward", torch::CppFunction::makeFallthrough());
  m.impl("forward_quantized", torch::CppFunction::makeFallthrough());
  m.impl("sdp_forward", torch::CppFunction::makeFallthrough());
}
