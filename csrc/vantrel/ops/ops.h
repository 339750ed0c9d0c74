// The operators behind vantrel.forward, vantrel.sdp_forward and torch.ops.vantrel.*: each checks
// all of its inputs (in one place, in a fixed order, so that with several faults the message is
// always the same one), opens its profiler scope and launches its kernel or takes PyTorch's path.
#pragma once

#include <ATen/ATen.h>

namespace vantrel::ops {

// output = input x weights^T in half precision (bias-free linear layer), profiler scope
// "ferrow_linear_fp16_forward".
at::Tensor linear_forward(const at::Tensor& input, const at::Tensor& weights);
// Its output, shape and element type only, for meta tensors: nothing is checked or computed.
at::Tensor linear_forward_meta(const at::Tensor& input, const at::Tensor& weights);

// One decoding step of attention, q [B, H, 1, D] against k, v [B, H_kv, kv_len, D]; profiler
// scope "ferrow_sdp_fp16_forward".
at::Tensor sdp_forward(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v);
// Its output [B, H * D], shape and element type only, for meta tensors.
at::Tensor sdp_forward_meta(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v);

// ---- shared by the operators ----------------------------------------------------------------

inline bool on_xpu(const at::Tensor& t) {
  return t.device().type() == c10::DeviceType::XPU;
}

// `t` with a pending negation bit applied, same sizes and strides; `t` itself without one. Called
// after the checks, right before a kernel reads the data.
at::Tensor negation_applied(const at::Tensor& t);

}  // namespace vantrel::ops
