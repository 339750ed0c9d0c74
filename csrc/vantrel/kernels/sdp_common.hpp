// Device helpers and constants shared by the attention kernels (one query row per head, head
// dimension 128): row loads, the score of one key, SLM staging of value rows, the final
// normalisation. Torch-free.
//
// Every kernel computes the softmax in one pass with base-2 exponentials of scaled scores and a
// single normalisation at the end (no maximum subtracted). Per (query head, 16-element output
// chunk) the arithmetic is fixed: keys in ascending order, each weight 2^(0.1275042 * q.k) with the
// dot product in the element type, the chunk accumulated in float, the weights summed in lanes
// (key t in lane t mod 8 or 16) that fold by halving. The grouped kernels keep this per query
// head, so a grouped call equals the ungrouped one on repeated key/value heads bit for bit.
#pragma once

#include <cstdint>

#include "vantrel/kernels/esimd_common.hpp"
#include "vantrel/kernels/sdp_launch.hpp"

namespace vantrel::kernels {

// log2(e) / sqrt(128), rounded down to 0.1275042 (bit pattern 0x3E029076): scale and change of base
// to 2 in one multiplication.
constexpr float kSdpScoreScale = sdp_score_scale(128);
static_assert(kSdpScoreScale == 0.1275042f, "score scale must have the bit pattern 0x3E029076");

constexpr uint32_t kSdpHeadDim = 128;
constexpr uint32_t kSdpHalfRowBytes = kSdpHeadDim * 2;   // 256
constexpr uint32_t kSdpFloatRowBytes = kSdpHeadDim * 4;  // 512
constexpr uint32_t kSdpBlockKeys = 64;                   // keys per block of the blocked kernels
// (query head, output chunk) pairs a work-item of a grouped blocked kernel accumulates: pairs
// j, j + 64, ... of the 8 * G, i.e. chunk j mod 8 of heads j / 8, j / 8 + 8, ...
constexpr uint32_t kSdpMaxGroupPairsPerItem = uint32_t(kSdpMaxGroupHeads) * 8 / kSdpBlockKeys;
static_assert(kSdpMaxGroupPairsPerItem == 4);

// One row of 128 halves (one 256-byte block load).
SYCL_ESIMD_FUNCTION inline simd<fp16, 128> loadHalfRow128(const uint8_t* base,
                                                          uint32_t byteOffset) {
  simd<uint32_t, 64> words = loadWords<64>(base, byteOffset);
  return words.bit_cast_view<fp16>().read();
}

// One row of 128 floats (two 256-byte block loads).
SYCL_ESIMD_FUNCTION inline simd<float, 128> loadFloatRow128(const uint8_t* base,
                                                            uint32_t byteOffset) {
  simd<uint32_t, 128> words;
  words.select<64, 1>(0) = loadWords<64>(base, byteOffset);
  words.select<64, 1>(64) = loadWords<64>(base, byteOffset + 256);
  return words.bit_cast_view<float>().read();
}

// Weight of one key: 2^(0.1275042 * q.k), the dot product in the element type (half or float)
// over eight 16-lane chunks with a halving fold, the exponential in float.
template <typename T>
SYCL_ESIMD_FUNCTION inline float scoreDim128(simd<T, 128> q, simd<T, 128> k) {
  simd<T, 16> acc = 0;
  for (int i = 0; i < 8; ++i)
    acc += q.template select<16, 1>(16 * i) * k.template select<16, 1>(16 * i);
  simd<float, 1> score = foldLanes<T, 16>(acc);
  simd<float, 1> weight = esimd::exp2(score * kSdpScoreScale);
  return weight[0];
}

// Normalises sixteen accumulated outputs by the total of the weight-sum lanes and stores them as
// halves (one 32-byte block store at out + byteOffset).
template <int L>
SYCL_ESIMD_FUNCTION inline void finishChunkFp16x16(simd<float, 16> acc, simd<float, L> wsum,
                                                   uint8_t* out, uint32_t byteOffset) {
  const float r = 1.0f / foldLanes<float, L>(wsum);
  simd<fp16, 16> o = acc * r;
  storeWords<8>(out, byteOffset, o.bit_cast_view<uint32_t>().read());
}

// The same in float (one 64-byte block store).
SYCL_ESIMD_FUNCTION inline void finishChunkFp32x16(simd<float, 16> acc, simd<float, 16> wsum,
                                                   uint8_t* out, uint32_t byteOffset) {
  const float r = 1.0f / foldLanes<float, 16>(wsum);
  acc *= r;
  storeWords<16>(out, byteOffset, acc.bit_cast_view<uint32_t>().read());
}

// Writes a half value row into the eight chunk planes of SLM (chunk c at c * planeBytes +
// slotOffset).
SYCL_ESIMD_FUNCTION inline void stageHalfRow128(simd<fp16, 128> row, uint32_t planeBytes,
                                                uint32_t slotOffset) {
  for (uint32_t c = 0; c < 8; ++c)
    esimd::slm_block_store<fp16, 16>(c * planeBytes + slotOffset, row.select<16, 1>(16 * c).read());
}

// Writes a float value row into the eight chunk planes of SLM (4096 bytes each: 64 rows of 16
// floats), as row `slot` of the block.
SYCL_ESIMD_FUNCTION inline void stageFloatRow128(simd<float, 128> row, uint32_t slot) {
  for (uint32_t m = 0; m < 8; ++m)
    esimd::slm_block_store<float, 16>(4096 * m + 64 * slot, row.select<16, 1>(16 * m).read());
}

// One float at an SLM byte offset.
SYCL_ESIMD_FUNCTION inline void storeSlmFloat1(uint32_t byteOffset, float x) {
  esimd::slm_scatter<float, 1>(simd<uint32_t, 1>(byteOffset), simd<float, 1>(x));
}

}  // namespace vantrel::kernels
