// Rotary embedding of the new positions' queries and keys, and their keys and values written into
// the cache: one body per head size D (rotaryCacheDim{D}). Torch-free.
//
// One work-group per new position c (position p = start + c) serves every head row of that
// position in all B sequences, so the cos and sin rows of p are read once per launch: work-item 0
// loads them and stages them in SLM for the others. Work-item l takes the head rows i = l, l + W,
// ... of the position (i = b (H + 2 H_kv) + j: query heads j < H, then key heads, then value
// heads), each read once. Query and key rows x are turned in float32:
//
//   out_i = x_i cos[p][i] + x_{(i + D/2) mod D} sin[p][i]
//
// each product rounded to float32, then the sum, then rounded to half once; value rows are copied
// bit for bit. Queries go to q [B][H][C][D], keys and values to row p of their cache.
#pragma once

#include <cstdint>

#include "vantrel/kernels/esimd_common.hpp"
#include "vantrel/kernels/fused_launch.hpp"

namespace vantrel::kernels {

template <int D>
SYCL_ESIMD_FUNCTION inline void rotaryCache(const rotary_cache_params& p, sycl::nd_item<2> item) {
  static_assert(D % kFusedChunk == 0 && D <= kRotaryMaxHeadSize, "rotaryCache: D of whole chunks");
  constexpr uint32_t kChunks = D / kFusedChunk;
  constexpr int kHalf = D / 2;
  constexpr uint32_t kRowBytes = D * 2;    // a head row, binary16
  constexpr uint32_t kTableBytes = D * 4;  // a cos or sin row, float32
  esimd::slm_init<2 * kTableBytes>();      // the cos row, then the sin row
  const uint32_t l = item.get_local_id(0);
  const uint32_t items = item.get_local_range(0);
  const uint32_t c = item.get_group(1);
  const uint32_t pos = p.start + c;

  simd<float, D> cosRow, sinRow;
  if (l == 0) {
    loadChunks(cosRow, p.cos, pos * kTableBytes, kChunks);
    loadChunks(sinRow, p.sin, pos * kTableBytes, kChunks);
    esimd::slm_block_store<float, D>(0, cosRow);
    esimd::slm_block_store<float, D>(kTableBytes, sinRow);
  }
  esimd::barrier();
  if (l != 0) {
    cosRow = esimd::slm_block_load<float, D>(0);
    sinRow = esimd::slm_block_load<float, D>(kTableBytes);
  }

  const uint32_t perSequence = p.heads + 2 * p.kv_heads;
  const uint32_t rows = p.batch * perSequence;
  for (uint32_t i = l; i < rows; i += items) {
    const uint32_t b = i / perSequence;
    const uint32_t j = i % perSequence;
    simd<fp16, D> row;
    loadChunks(row, p.qkv, (b * p.positions + c) * p.qkv_stride * 2 + j * kRowBytes, kChunks);
    const uint32_t kvHead = j - p.heads;  // for key heads; value heads from kv_heads on
    if (j >= p.heads + p.kv_heads) {
      const uint32_t vHead = kvHead - p.kv_heads;
      storeChunks(p.v_cache, ((b * p.kv_heads + vHead) * p.cache_len + pos) * kRowBytes, row,
                  kChunks);
      continue;
    }
    simd<float, D> x = row;
    simd<float, D> turned;  // x_{(i + D/2) mod D}
    turned.template select<kHalf, 1>(0) = x.template select<kHalf, 1>(kHalf);
    turned.template select<kHalf, 1>(kHalf) = x.template select<kHalf, 1>(0);
    const simd<float, D> xCos = x * cosRow;
    const simd<float, D> turnedSin = turned * sinRow;
    simd<fp16, D> out = xCos + turnedSin;
    if (j < p.heads)
      storeChunks(p.q, ((b * p.heads + j) * p.positions + c) * kRowBytes, out, kChunks);
    else
      storeChunks(p.k_cache, ((b * p.kv_heads + kvHead) * p.cache_len + pos) * kRowBytes, out,
                  kChunks);
  }
}

}  // namespace vantrel::kernels
