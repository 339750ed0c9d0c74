// Launchers of the decoding step's fused kernels and their parameters (torch-free): the residual
// add with RMSNorm, rotary embedding with the key/value cache writes, and SiLU gating. The sizes
// each serves are in catalog.hpp.
//
// The caller checks the operands first (ops/fused.cpp does for the operators): sizes the catalog
// lists, every row 4-byte aligned, every byte offset below 2^32, work-item counts below 2^31, and
// no written tensor overlapping another operand.
#pragma once

#include <cstdint>
#include <sycl/sycl.hpp>

#include "vantrel/kernels/catalog.hpp"

namespace vantrel::kernels {

// ---- add_rms_norm -------------------------------------------------------------------------------

// residual += float(delta) (when delta is given), then out = half((residual * r) * weight) with
// r = 1 / sqrt(sum(residual^2) / H + eps) per row. One work-group serves every row, so that the
// weight is read once.
struct add_rms_norm_params {
  uint8_t* residual;      // float32 [M][H], contiguous, 4-byte aligned; updated when delta is given
  const uint8_t* delta;   // binary16 rows of H at element m * delta_stride, or null: no add
  const uint8_t* weight;  // float32 [H]
  uint8_t* out;           // binary16 [M][H], contiguous; every element is written
  uint32_t rows;          // M, at least 1
  uint32_t hidden;        // H: a multiple of 16 up to kNormMaxWidth (addRmsNormDimAny reads it)
  uint32_t delta_stride;  // elements between delta rows, even
  float eps;              // added to the mean square
};

// Most work-items of the work-group, and the SLM slots its partial sums meet in (zeros beyond the
// work-items).
inline constexpr uint32_t kNormMaxItems = 64;

// How a row of H = 16 n elements is split: work-item a holds chunks a c .. a c + c - 1 of 16
// elements (the last one fewer when c does not divide n), c = ceil(n / 64), over ceil(n / c)
// work-items.
struct norm_split {
  uint32_t chunks;  // c, chunks per work-item (the last may hold fewer)
  uint32_t items;   // work-items
};

constexpr norm_split norm_split_of(uint32_t H) {
  const uint32_t n = H / uint32_t(kFusedChunk);
  const uint32_t c = (n + kNormMaxItems - 1) / kNormMaxItems;
  return {c, (n + c - 1) / c};
}

// Submits addRmsNormDim{H} (H listed in VANTREL_NORM_WIDTHS) or addRmsNormDimAny for `params` and
// returns its event without waiting. Throws std::invalid_argument for H without a kernel or no
// rows.
sycl::event launch_add_rms_norm(sycl::queue& queue, const add_rms_norm_params& params);

// ---- rotary_cache -------------------------------------------------------------------------------

// C new positions start .. start + C - 1 of B sequences: q and k rotated (out_i = x_i cos[p][i] +
// x_{(i + D/2) mod D} sin[p][i], each product rounded to float32, then the sum, then rounded to
// half), v copied; k and v written into the cache rows start + c, q returned. One work-group per
// position, so that its cos and sin rows are read once.
struct rotary_cache_params {
  // binary16 row b C + c at element (b C + c) qkv_stride: query heads 0 .. H-1, key heads, value
  // heads, D elements each
  const uint8_t* qkv;
  const uint8_t* cos;   // float32 [P][D], contiguous: row p for position p
  const uint8_t* sin;   // float32 [P][D], contiguous, signs included
  uint8_t* q;           // binary16 [B][H][C][D], contiguous; every element is written
  uint8_t* k_cache;     // binary16 [B][H_kv][L][D], contiguous; rows start .. start + C - 1 written
  uint8_t* v_cache;     // the same for values
  uint32_t batch;       // B, at least 1
  uint32_t positions;   // C, at least 1
  uint32_t heads;       // H, at least 1
  uint32_t kv_heads;    // H_kv, at least 1
  uint32_t cache_len;   // L, at least start + C
  uint32_t start;       // the position of row c = 0; start + C <= P
  uint32_t qkv_stride;  // elements between qkv rows, even
};

// Most work-items of a position's work-group; each serves every 64th head row of the position.
inline constexpr uint32_t kRotaryMaxItems = 64;

// Work-items of a position's work-group: one per head row (B (H + 2 H_kv) of them) up to 64.
constexpr uint32_t rotary_items(uint64_t batch, uint64_t heads, uint64_t kv_heads) {
  const uint64_t rows = batch * (heads + 2 * kv_heads);
  return rows < kRotaryMaxItems ? uint32_t(rows) : kRotaryMaxItems;
}

// Submits rotaryCacheDim{D} for `params` and returns its event without waiting. Throws
// std::invalid_argument for a head size without a kernel or an empty call.
sycl::event launch_rotary_cache(sycl::queue& queue, const rotary_cache_params& params,
                                int64_t head_size);

// ---- silu_mul -----------------------------------------------------------------------------------

// out = half(silu(g) u), g and u the halves of each gate_up row in float32,
// silu(g) = g / (1 + exp2(float(-g 1.442695))).
struct silu_mul_params {
  // binary16 rows at element m * stride: gate at columns 0 .. I-1, up at I .. 2I-1
  const uint8_t* gate_up;
  uint8_t* out;     // binary16 [M][I], contiguous; every element is written
  uint32_t rows;    // M, at least 1
  uint32_t width;   // I: a multiple of 16 up to kGatedMaxWidth
  uint32_t stride;  // elements between gate_up rows, even
};

// Elements of a row one work-item serves (the last tile of a row holds the rest, a multiple of
// 16), and tiles per work-group.
inline constexpr uint32_t kGatedTile = 128;
inline constexpr uint32_t kGatedGroupTiles = 8;

// Work-items along a row: its tiles, rounded up to whole work-groups.
constexpr uint64_t silu_mul_row_items(uint64_t I) {
  const uint64_t tiles = (I + kGatedTile - 1) / kGatedTile;
  return (tiles + kGatedGroupTiles - 1) / kGatedGroupTiles * kGatedGroupTiles;
}

// Submits siluMul for `params` as siluMulDim{I} (I listed in VANTREL_GATED_WIDTHS) or
// siluMulDimAny and returns its event without waiting. Throws std::invalid_argument for I without a
// kernel or no rows.
sycl::event launch_silu_mul(sycl::queue& queue, const silu_mul_params& params);

}  // namespace vantrel::kernels
