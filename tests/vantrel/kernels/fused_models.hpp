// Host models of the decoding step's fused kernels' order of operations. float arithmetic rounds
// every operation on its own (nothing is contracted), std::sqrt and the divisions are IEEE like
// the kernels' sqrt_ieee and div_ieee, std::exp2 is exp2f like the emulated device's exp2, and
// sycl::half rounds to nearest even, so the models agree with the kernels bit for bit.
#pragma once

#include <cmath>
#include <cstddef>
#include <sycl/sycl.hpp>
#include <vector>

namespace fused_models {

using fp16 = sycl::half;

// add_rms_norm of M rows of H: residual [M][H] += delta (rows `delta_stride` apart; none when
// null), returns half((x r) weight). A row's 16-element chunks go to work-items c at a time,
// c = ceil(H / 16 / 64); work-item a sums the squares of its chunks in 16 lanes, folds them by
// halving to P_a; the slots P_0 .. P_{W-1}, 0, .. (64 of them) fold by halving to S;
// r = 1 / sqrt(S / H + eps).
inline std::vector<fp16> add_rms_norm(std::vector<float>& residual, const fp16* delta,
                                      std::size_t delta_stride, const std::vector<float>& weight,
                                      std::size_t M, std::size_t H, float eps) {
  const std::size_t n = H / 16, c = (n + 63) / 64;
  std::vector<fp16> out(M * H);
  for (std::size_t m = 0; m < M; ++m) {
    float* x = &residual[m * H];
    if (delta)
      for (std::size_t j = 0; j < H; ++j) x[j] = x[j] + float(delta[m * delta_stride + j]);
    float slots[64] = {};
    for (std::size_t a = 0; a * c < n; ++a) {
      float lanes[16] = {};
      for (std::size_t q = a * c; q < (a + 1) * c && q < n; ++q)
        for (int l = 0; l < 16; ++l) lanes[l] = lanes[l] + x[16 * q + l] * x[16 * q + l];
      for (int w = 8; w >= 1; w /= 2)
        for (int l = 0; l < w; ++l) lanes[l] = lanes[l] + lanes[l + w];
      slots[a] = lanes[0];
    }
    for (int w = 32; w >= 1; w /= 2)
      for (int l = 0; l < w; ++l) slots[l] = slots[l] + slots[l + w];
    const float r = 1.0f / std::sqrt(slots[0] / float(H) + eps);
    for (std::size_t j = 0; j < H; ++j) out[m * H + j] = fp16((x[j] * r) * weight[j]);
  }
  return out;
}

// One query or key row of D turned by position p's tables: x_i cos_i + x_{(i + D/2) mod D} sin_i,
// each product rounded to float, then the sum, then to half.
inline void rotate(const fp16* x, const float* cos, const float* sin, std::size_t D, fp16* out) {
  for (std::size_t i = 0; i < D; ++i) {
    const float a = float(x[i]) * cos[i];
    const float b = float(x[(i + D / 2) % D]) * sin[i];
    out[i] = fp16(a + b);
  }
}

// silu(g) u in float, rounded to half: g / (1 + exp2(float(-g * 1.442695f))).
inline fp16 silu_mul(fp16 gate, fp16 up) {
  const float g = float(gate);
  const float e = std::exp2(-g * 1.442695f);
  return fp16(g / (1.0f + e) * float(up));
}

}  // namespace fused_models
