// Residual add and RMSNorm of the decoding step, one template for every hidden size H:
// addRmsNormDim{H} with H fixed, whose registers hold exactly a work-item's share of a row, and
// addRmsNormDimAny with H read at run time and registers for the largest share (32 chunks).
// Torch-free.
//
// One work-group serves every row, so the weight is read once per launch: work-item a keeps its
// chunks of the weight (norm_split_of) in registers throughout, and its chunks of a row between
// the two passes over the row, so the residual and delta are read once too. Per row m, in float32
// with every operation rounded:
//
//   x_j = residual[m][j] + float(delta[m][j]), stored back (x_j = residual[m][j] without delta)
//   lane l of work-item a: s_l = ((0 + x_{16 q0 + l}^2) + x_{16 q1 + l}^2) + ... over its chunks
//                          q0 < q1 < ... in order, each square rounded
//   P_a = s folded by halving: l += l + 8, l += l + 4, l += l + 2, then s_0 + s_1
//   S = the 64 slots P_0 .. P_{W-1}, 0, ..., 0 folded by halving (32, 16, 8, 4, 2, 1)
//   r = 1 / sqrt(S / H + eps), the division by H, the root and the reciprocal IEEE
//   out[m][j] = half((x_j r) weight_j)
//
// The root and the divisions are div_ieee and sqrt_ieee: esimd::sqrt, rsqrt and inv are
// approximate on the hardware (4, 4 and 1 ULP) and plain division has no stated precision, so
// their results could differ between devices and from any host model; the IEEE forms give one
// result everywhere, for three operations per row.
#pragma once

#include <cstdint>

#include "vantrel/kernels/esimd_common.hpp"
#include "vantrel/kernels/fused_launch.hpp"

namespace vantrel::kernels {

// SLM of addRmsNorm: two buffers of the 64 partial-sum slots, for even and odd rows (a work-item
// writes row m + 2's slot only after every work-item has passed row m + 1's barrier, so after they
// all read row m's).
constexpr uint32_t kNormSlotBytes = kNormMaxItems * 4;
constexpr uint32_t kNormSlmBytes = 2 * kNormSlotBytes;

template <uint32_t kH>  // 0: H = params.hidden
SYCL_ESIMD_FUNCTION inline void addRmsNorm(const add_rms_norm_params& p, sycl::nd_item<2> item) {
  static_assert(kH % kFusedChunk == 0 && kH <= kNormMaxWidth, "addRmsNorm: H of whole chunks");
  static_assert(kNormMaxItems == 64, "addRmsNorm folds 64 slots");
  constexpr uint32_t kMaxChunks = norm_split_of(kH ? kH : uint32_t(kNormMaxWidth)).chunks;
  constexpr int kLanes = 16 * int(kMaxChunks);
  esimd::slm_init<kNormSlmBytes>();
  const uint32_t H = kH ? kH : p.hidden;
  const norm_split split = norm_split_of(H);
  const uint32_t a = item.get_local_id(0);
  const uint32_t first = a * split.chunks;  // this work-item's chunks: first .. first + chunks - 1
  const uint32_t left = H / uint32_t(kFusedChunk) - first;
  const uint32_t chunks = left < split.chunks ? left : split.chunks;
  const simd<float, 1> hidden(static_cast<float>(H));
  const simd<float, 1> one(1.0f);

  // The slots past the work-items stay zero: work-item a clears a + W, a + 2W, ... of both.
  for (uint32_t s = a + split.items; s < kNormMaxItems; s += split.items) {
    esimd::slm_scalar_store<float>(4 * s, 0.0f);
    esimd::slm_scalar_store<float>(kNormSlotBytes + 4 * s, 0.0f);
  }
  simd<float, kLanes> w;
  loadChunks(w, p.weight, 64 * first, chunks);
  for (uint32_t m = 0; m < p.rows; ++m) {
    const uint32_t rowOffset = (m * H + 16 * first) * 4;
    simd<float, kLanes> x;
    loadChunks(x, p.residual, rowOffset, chunks);
    if (p.delta) {
      simd<fp16, kLanes> d;
      loadChunks(d, p.delta, (m * p.delta_stride + 16 * first) * 2, chunks);
      for (uint32_t q = 0; q < chunks; ++q)
        x.template select<16, 1>(16 * q) += d.template select<16, 1>(16 * q);
      storeChunks(p.residual, rowOffset, x, chunks);
    }
    simd<float, 16> lanes = 0;
    for (uint32_t q = 0; q < chunks; ++q) {
      const simd<float, 16> v = x.template select<16, 1>(16 * q);
      lanes += v * v;
    }
    const uint32_t slots = (m & 1) * kNormSlotBytes;
    esimd::slm_scalar_store<float>(slots + 4 * a, foldLanes<float, 16>(lanes));
    esimd::barrier();
    simd<float, 64> all = esimd::slm_block_load<float, 64>(slots);
    all.select<32, 1>(0) += all.select<32, 1>(32);
    all.select<16, 1>(0) += all.select<16, 1>(16);
    const simd<float, 1> sum = foldLanes<float, 16>(all.select<16, 1>(0).read());
    const simd<float, 1> mean = esimd::div_ieee(sum, hidden) + p.eps;
    const float r = esimd::div_ieee(one, esimd::sqrt_ieee(mean))[0];
    simd<fp16, kLanes> out;
    for (uint32_t q = 0; q < chunks; ++q) {
      const simd<float, 16> scaled = x.template select<16, 1>(16 * q) * r;
      out.template select<16, 1>(16 * q) = scaled * w.template select<16, 1>(16 * q);
    }
    storeChunks(p.out, (m * H + 16 * first) * 2, out, chunks);
  }
}

}  // namespace vantrel::kernels
