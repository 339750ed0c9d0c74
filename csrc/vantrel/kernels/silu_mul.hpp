// SiLU gating of the decoding step's MLP: one body for every intermediate size I, read at run
// time (a work-item's tile is 128 elements whatever I is), launched as siluMulDim{I} for the listed
// sizes and siluMulDimAny for the others. Torch-free.
//
// Work-item (t, m) serves elements 128 t .. 128 t + 127 of row m (the row's last tile holds the
// rest, a multiple of 16; work-items past a row's tiles return): it reads its gate and up halves
// once and writes its outputs. Per element, g the gate and u the up value in float32, every
// operation rounded to float32:
//
//   e = exp(-g) as ESIMD defines exp: exp2((-g) * 1.442695f), the product rounded, then exp2
//   silu = g / (1 + e), the division IEEE (div_ieee)
//   out = half(silu * u)
//
// One division rounds once where g * (1 / (1 + e)) would round twice; div_ieee because esimd::inv
// and plain division are not exact on the hardware. A large negative g makes e infinite and silu
// -0 (the exact value is far below half's smallest subnormal); g = -inf gives NaN, as PyTorch's
// float silu does.
#pragma once

#include <cstdint>

#include "vantrel/kernels/esimd_common.hpp"
#include "vantrel/kernels/fused_launch.hpp"

namespace vantrel::kernels {

SYCL_ESIMD_FUNCTION inline void siluMul(const silu_mul_params& p, sycl::nd_item<2> item) {
  constexpr uint32_t kTileChunks = kGatedTile / kFusedChunk;
  const uint32_t I = p.width;
  const uint32_t first = uint32_t(item.get_global_id(0)) * kGatedTile;
  if (first >= I) return;
  const uint32_t m = uint32_t(item.get_global_id(1));
  const uint32_t left = (I - first) / uint32_t(kFusedChunk);
  const uint32_t chunks = left < kTileChunks ? left : kTileChunks;
  const uint32_t gateOffset = (m * p.stride + first) * 2;
  simd<fp16, kGatedTile> gate = 0, up = 0;  // the rest of a partial tile stays 0
  loadChunks(gate, p.gate_up, gateOffset, chunks);
  loadChunks(up, p.gate_up, gateOffset + 2 * I, chunks);
  const simd<float, kGatedTile> g = gate;
  const simd<float, kGatedTile> e = esimd::exp(-g);
  const simd<float, kGatedTile> silu = esimd::div_ieee(g, e + 1.0f);
  simd<fp16, kGatedTile> out = silu * simd<float, kGatedTile>(up);
  storeChunks(p.out, (m * I + first) * 2, out, chunks);
}

}  // namespace vantrel::kernels
