// The operators behind vantrel.forward, vantrel.sdp_forward, the decoding step's fused operators
// and torch.ops.vantrel.*: each checks
// all of its inputs (in one place, in a fixed order, so that with several faults the message is
// always the same one), opens its profiler scope and launches its kernel or takes PyTorch's path.
#pragma once

#include <ATen/ATen.h>

#include <tuple>

namespace vantrel::ops {

// output = input x weights^T in half precision (bias-free linear layer), profiler scope
// "ferrow_linear_fp16_forward".
at::Tensor linear_forward(const at::Tensor& input, const at::Tensor& weights);
// Its output, shape and element type only, for meta tensors: nothing is checked or computed.
at::Tensor linear_forward_meta(const at::Tensor& input, const at::Tensor& weights);

// linear_forward after its device and contiguity checks: the path choice, the kernel operands'
// checks and the launch. For weights the module builds itself (forward_quantized).
at::Tensor linear_compute(const at::Tensor& input, const at::Tensor& weights);
// Whether linear_compute runs a kernel for `input` (half [M, K], 1 <= M <= 8, K with a kernel).
bool linear_takes_kernel(const at::Tensor& input);

// output = input x W^T for packed 4- or 8-bit weights W (qweight, scales, zeros or none for
// symmetric codes) in the layout of the input's width: the packed kernel of the width, bits and
// group size for the inputs forward's kernels take, else W dequantized on the device into the
// width's half layout and linear_compute on it; the result is forward's bit for bit either way.
// Profiler scope "ferrow_linear_quantized_forward".
at::Tensor linear_quantized_forward(const at::Tensor& input, const at::Tensor& qweight,
                                    const at::Tensor& scales,
                                    const c10::optional<at::Tensor>& zeros, int64_t bits,
                                    int64_t group_size);
// Its output, shape and element type only, for meta tensors.
at::Tensor linear_quantized_forward_meta(const at::Tensor& input, const at::Tensor& qweight,
                                         const at::Tensor& scales,
                                         const c10::optional<at::Tensor>& zeros, int64_t bits,
                                         int64_t group_size);
// Row-major weights w [N, K] (half, bfloat16 or float32) quantized per row and group of
// group_size features: (qweight, scales, zeros) in the layout of width K, zeros absent when
// symmetric. Computed on w's device.
std::tuple<at::Tensor, at::Tensor, c10::optional<at::Tensor>> quantize_weights(const at::Tensor& w,
                                                                               int64_t bits,
                                                                               int64_t group_size,
                                                                               bool symmetric);
// Packed weights back to half row-major [N, K], K read from qweight's layout.
at::Tensor dequantize_weights(const at::Tensor& qweight, const at::Tensor& scales,
                              const c10::optional<at::Tensor>& zeros, int64_t bits,
                              int64_t group_size);

// One decoding step of attention, q [B, H, 1, D] against k, v [B, H_kv, kv_len, D]; profiler
// scope "ferrow_sdp_fp16_forward".
at::Tensor sdp_forward(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v);
// Its output [B, H * D], shape and element type only, for meta tensors.
at::Tensor sdp_forward_meta(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v);

// ---- the decoding step's fused operators (fused.cpp) -----------------------------------------

// residual [M, H] float32 += float(delta) in place when delta (half [M, H]) is given; returns
// half((residual r) weight) with r = 1 / sqrt(mean(residual^2) + eps) per row. Profiler scope
// "ferrow_add_rms_norm_forward".
at::Tensor add_rms_norm(const at::Tensor& residual, const c10::optional<at::Tensor>& delta,
                        const at::Tensor& weight, double eps);
at::Tensor add_rms_norm_meta(const at::Tensor& residual, const c10::optional<at::Tensor>& delta,
                             const at::Tensor& weight, double eps);
// The C new positions start .. start + C - 1 of B sequences in qkv [B * C, >= (H + 2 H_kv) D]:
// keys (rotated) and values written into rows start + c of k_cache, v_cache [B, H_kv, L, D];
// returns the rotated queries [B, H, C, D]. Profiler scope "ferrow_rotary_cache_forward".
at::Tensor rotary_cache(const at::Tensor& qkv, const at::Tensor& cos, const at::Tensor& sin,
                        const at::Tensor& k_cache, const at::Tensor& v_cache, int64_t start,
                        int64_t heads, int64_t kv_heads);
at::Tensor rotary_cache_meta(const at::Tensor& qkv, const at::Tensor& cos, const at::Tensor& sin,
                             const at::Tensor& k_cache, const at::Tensor& v_cache, int64_t start,
                             int64_t heads, int64_t kv_heads);
// half(silu(g) u) [M, I] of gate_up [M, >= 2 I] (g its first I columns, u the next I). Profiler
// scope "ferrow_silu_mul_forward".
at::Tensor silu_mul(const at::Tensor& gate_up, int64_t intermediate);
at::Tensor silu_mul_meta(const at::Tensor& gate_up, int64_t intermediate);

// ---- shared by the operators ----------------------------------------------------------------

inline bool on_xpu(const at::Tensor& t) {
  return t.device().type() == c10::DeviceType::XPU;
}

// `t` with a pending negation bit applied, same sizes and strides; `t` itself without one. Called
// after the checks, right before a kernel reads the data.
at::Tensor negation_applied(const at::Tensor& t);

}  // namespace vantrel::ops
