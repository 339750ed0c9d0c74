// Operators called across the source units of the module.
#pragma once

#include <ATen/ATen.h>

// output = input x weights^T in half precision (bias-free linear layer).
at::Tensor linear_xpu_forward(const at::Tensor& input, const at::Tensor& weights);

// `t` with a pending negation bit applied, same sizes and strides; `t` itself without one. Called
// after the checks, right before a kernel reads the data.
at::Tensor negation_applied(const at::Tensor& t);

// One decoding step of attention: q [B, H, 1, 128] against k, v [B, H, kv_len, 128].
at::Tensor sdp_xpu_forward(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v);
