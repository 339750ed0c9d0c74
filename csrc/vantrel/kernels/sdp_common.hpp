// Device helpers and constants shared by the attention kernels (one query row per head of D
// elements, D / 16 output chunks of 16): row loads, the weight of one key, SLM staging of value
// rows, the final normalisation. Torch-free.
//
// Every kernel computes the softmax in one pass with base-2 exponentials of scaled scores and a
// single normalisation at the end (no maximum subtracted). Per (query head, 16-element output
// chunk) the arithmetic is fixed: keys in ascending order, each weight 2^(sdp_score_scale(D) * q.k)
// with the dot product in the element type, the chunk accumulated in float, the weights summed in
// lanes (key t in lane t mod 8 or 16) that fold by halving. The grouped kernels keep this per query
// head, so a grouped call equals the ungrouped one on repeated key/value heads bit for bit.
#pragma once

#include <cstdint>

#include "vantrel/kernels/catalog.hpp"
#include "vantrel/kernels/esimd_common.hpp"
#include "vantrel/kernels/sdp_launch.hpp"

namespace vantrel::kernels {

// Scale and change of base to 2 in one multiplication; the results depend on its bits.
static_assert(sdp_score_scale(64) == 0.18033688f,
              "score scale of 64 must have the bit pattern 0x3E38AA3B");
static_assert(sdp_score_scale(128) == 0.1275042f,
              "score scale of 128 must have the bit pattern 0x3E029076");

constexpr uint32_t kSdpChunk = 16;      // elements of an output chunk (and of a score lane group)
constexpr uint32_t kSdpBlockKeys = 64;  // keys per block of the blocked kernels (their work-items)
constexpr uint32_t kSdpItemKeys = 128;  // keys of the one-work-item-per-key kernels at most
constexpr uint32_t kSdpChunkKeyBytes = kSdpChunk * 2;  // one key's half chunk in an SLM value plane
static_assert(sdp_fp16_item_per_key(kSdpItemKeys) && !sdp_fp16_item_per_key(kSdpItemKeys + 1));

// Output chunks of a head of D elements.
template <int D>
constexpr uint32_t kSdpChunks = uint32_t(D) / kSdpChunk;
// Bytes of a row of D elements of type T.
template <typename T, int D>
constexpr uint32_t kSdpRowBytes = uint32_t(D) * sizeof(T);

// One row of D elements of T in block loads of at most 64 words (256 bytes) each.
template <typename T, int D>
SYCL_ESIMD_FUNCTION inline simd<T, D> loadRow(const uint8_t* base, uint32_t byteOffset) {
  constexpr int kWords = kSdpRowBytes<T, D> / 4;
  constexpr int kBlock = kWords < 64 ? kWords : 64;
  static_assert(kWords % kBlock == 0 && (kBlock & (kBlock - 1)) == 0 && kBlock >= 8,
                "loadRow: rows of whole power-of-two block loads of 8 to 64 words");
  simd<uint32_t, kWords> words;
  for (int i = 0; i < kWords / kBlock; ++i)
    words.template select<kBlock, 1>(kBlock * i) =
        loadWords<kBlock>(base, byteOffset + 4 * kBlock * i);
  return words.template bit_cast_view<T>().read();
}

// Weight of one key: 2^(sdp_score_scale(D) * q.k), the dot product in the element type (half or
// float) over D / 16 16-lane chunks with a halving fold, the exponential in float.
template <typename T, int D>
SYCL_ESIMD_FUNCTION inline float keyWeight(simd<T, D> q, simd<T, D> k) {
  constexpr float kScale = sdp_score_scale(D);
  static_assert(D % int(kSdpChunk) == 0, "keyWeight: heads of whole 16-element chunks");
  static_assert(kScale > 0.0f, "keyWeight: sdp_score_scale has no scale for this head size");
  simd<T, kSdpChunk> acc = 0;
  for (int i = 0; i < D / int(kSdpChunk); ++i)
    acc += q.template select<kSdpChunk, 1>(kSdpChunk * i) *
           k.template select<kSdpChunk, 1>(kSdpChunk * i);
  simd<float, 1> score = foldLanes<T, kSdpChunk>(acc);
  simd<float, 1> weight = esimd::exp2(score * kScale);
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

// Writes a half value row into the D / 16 chunk planes of SLM (chunk c at c * planeBytes +
// slotOffset).
template <int D>
SYCL_ESIMD_FUNCTION inline void stageHalfRow(simd<fp16, D> row, uint32_t planeBytes,
                                             uint32_t slotOffset) {
  for (uint32_t c = 0; c < kSdpChunks<D>; ++c)
    esimd::slm_block_store<fp16, kSdpChunk>(
        c * planeBytes + slotOffset, row.template select<kSdpChunk, 1>(kSdpChunk * c).read());
}

// Bytes of a float value plane of the blocked kernel: 64 rows of one 16-float chunk.
constexpr uint32_t kSdpFloatPlaneBytes = kSdpBlockKeys * kSdpChunk * 4;  // 4096

// Writes a float value row into the D / 16 chunk planes of SLM, as row `slot` of the block.
template <int D>
SYCL_ESIMD_FUNCTION inline void stageFloatRow(simd<float, D> row, uint32_t slot) {
  for (uint32_t c = 0; c < kSdpChunks<D>; ++c)
    esimd::slm_block_store<float, kSdpChunk>(
        kSdpFloatPlaneBytes * c + kSdpChunk * 4 * slot,
        row.template select<kSdpChunk, 1>(kSdpChunk * c).read());
}

// One float at an SLM byte offset.
SYCL_ESIMD_FUNCTION inline void storeSlmFloat1(uint32_t byteOffset, float x) {
  esimd::slm_scatter<float, 1>(simd<uint32_t, 1>(byteOffset), simd<float, 1>(x));
}

}  // namespace vantrel::kernels
