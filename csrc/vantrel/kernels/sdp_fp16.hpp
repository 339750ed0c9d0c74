// Half-precision attention kernels (one query row of D elements per head), templated on the head
// size D and on the most query heads MaxGroup one key/value head serves: 1 for the ungrouped
// kernels (H_kv = H), kSdpMaxGroupHeads for the grouped ones. Rows of q and the output: query head
// h of batch entry b at row b * H + h; key and value row t of key/value head g of batch entry b at
// element b * stride0 + g * stride1 + D * t (see sdp_fp16_params).
#pragma once

#include <cstdint>

#include "vantrel/kernels/sdp_common.hpp"
#include "vantrel/kernels/sdp_launch.hpp"

namespace vantrel::kernels {

// SLM of sdpFp16Keys128: D / 16 value planes of up to 128 keys x 32 bytes, then per query head of
// the group one float weight per key, then (grouped) the group's query rows. 33280 bytes for
// D = 128 ungrouped, 57344 grouped; 16896 and 36864 for D = 64.
template <int D, uint32_t MaxGroup>
constexpr uint32_t kSdpSlmFp16Keys128 = kSdpChunks<D>* kSdpItemKeys* kSdpChunkKeyBytes +
                                        MaxGroup* kSdpItemKeys * 4 +
                                        (MaxGroup > 1 ? MaxGroup * kSdpRowBytes<fp16, D> : 0);

// Offset of the weights in the SLM of sdpFp16KeyBlocks64, after the D / 16 value planes of 64 keys
// x 32 bytes.
template <int D>
constexpr uint32_t kSdpFp16BlockWeights = kSdpChunks<D>* kSdpBlockKeys* kSdpChunkKeyBytes;
// SLM of sdpFp16KeyBlocks64: the value planes, then 64 float weights per query head of the group,
// then (grouped) the group's query rows. 16640 bytes for D = 128 ungrouped, 32768 grouped; 8448
// and 20480 for D = 64.
template <int D, uint32_t MaxGroup>
constexpr uint32_t kSdpSlmFp16KeyBlocks64 = kSdpFp16BlockWeights<D> + MaxGroup* kSdpBlockKeys * 4 +
                                            (MaxGroup > 1 ? MaxGroup * kSdpRowBytes<fp16, D> : 0);

// Attention for 8 to 128 keys: one work-group per (key/value head, batch entry), one work-item per
// key, serving the G query heads of that key/value head (G = 1 when MaxGroup is 1). Each work-item
// reads its key and value row once and computes the key's G weights; afterwards the work-items
// share the G * D / 16 (query head, output chunk) reductions over all keys, eight at a time.
template <int D, uint32_t MaxGroup>
SYCL_ESIMD_FUNCTION inline void sdpFp16Keys128(const sdp_fp16_params& p, sycl::nd_item<2> item) {
  constexpr bool kGrouped = MaxGroup > 1;
  constexpr uint32_t kChunks = kSdpChunks<D>;
  constexpr uint32_t kRowBytes = kSdpRowBytes<fp16, D>;
  static_assert(kSdpSlmFp16Keys128<D, MaxGroup> <= 65536, "sdpFp16Keys128: SLM over 64 KiB");
  esimd::slm_init<kSdpSlmFp16Keys128<D, MaxGroup>>();
  const uint32_t j = item.get_local_id(0);
  const uint32_t hk = item.get_group(0);
  const uint32_t b = item.get_group(1);
  const uint32_t groupHeads = kGrouped ? uint32_t(p.heads / p.kv_heads) : 1;
  const uint32_t slot0 = (b * uint32_t(item.get_group_range(0)) + hk) * groupHeads;
  const uint32_t n = uint32_t(p.kv_len);
  const uint32_t pk = (n + 7) & ~7u;  // keys rounded up to whole groups of 8
  const uint32_t planeBytes = pk * kSdpChunkKeyBytes;
  const uint32_t weights = kChunks * planeBytes;  // query head g's weights at + g * headWeights
  const uint32_t headWeights = pk * 4;
  const uint32_t qRows = weights + groupHeads * headWeights;  // grouped: the staged query rows
  const uint32_t kvBase = (uint32_t(b * p.stride0) + uint32_t(hk * p.stride1)) * 2;
  // Pad keys n .. pk-1 get zero values and weight 0 (pk - n < 8 <= n, so work-item j fills n + j).
  const bool pads = int(pk - n) > int(j);

  simd<fp16, D> kRow = loadRow<fp16, D>(p.k, kvBase + j * kRowBytes);
  stageHalfRow<D>(loadRow<fp16, D>(p.v, kvBase + j * kRowBytes), planeBytes, j * kSdpChunkKeyBytes);
  if (pads) stageHalfRow<D>(simd<fp16, D>(0), planeBytes, (n + j) * kSdpChunkKeyBytes);
  // The ungrouped kernel keeps its query row in registers; the grouped one stages the G rows in
  // SLM, each read from global memory once.
  simd<fp16, D> qRow;
  if constexpr (kGrouped) {
    for (uint32_t g = j; g < groupHeads; g += n)
      esimd::slm_block_store<fp16, D>(qRows + g * kRowBytes,
                                      loadRow<fp16, D>(p.q, (slot0 + g) * kRowBytes));
    esimd::barrier();  // the query rows are staged
  } else {
    qRow = loadRow<fp16, D>(p.q, slot0 * kRowBytes);
  }
  for (uint32_t g = 0; g < groupHeads; ++g) {
    if constexpr (kGrouped) qRow = esimd::slm_block_load<fp16, D>(qRows + g * kRowBytes);
    storeSlmFloat1(weights + g * headWeights + 4 * j, keyWeight(qRow, kRow));
    if (pads) storeSlmFloat1(weights + g * headWeights + 4 * (n + j), 0.0f);
  }
  esimd::barrier();

  for (uint32_t pair = j; pair < kChunks * groupHeads; pair += n) {
    const uint32_t g = pair / kChunks;
    const uint32_t c = pair % kChunks;
    simd<float, 16> acc = 0;
    simd<float, 8> wsum = 0;  // lane l: weights of keys = l mod 8
    for (uint32_t t = 0; t < pk / 8; ++t) {
      // Chunk c of keys 8t .. 8t+7, and their weights.
      simd<fp16, 128> plane = esimd::slm_block_load<fp16, 128>(c * planeBytes + t * 256);
      simd<float, 8> w8 = esimd::slm_block_load<float, 8>(weights + g * headWeights + t * 32);
      for (int e = 0; e < 8; ++e) {
        simd<float, 16> values = plane.select<16, 1>(16 * e);
        acc += values * float(w8[e]);
      }
      wsum += w8;
    }
    finishChunkFp16x16<8>(acc, wsum, p.out, (slot0 + g) * kRowBytes + 32 * c);
  }
}

// Attention for any number of keys >= 1: one work-group of 64 work-items per (key/value head,
// batch entry) walking the keys in blocks of 64, serving the G query heads of that key/value head
// (G = 1 when MaxGroup is 1), running sums in registers. Work-item j reads key and value row j of
// each block once and computes its G weights; work-items j < G * D / 16 accumulate chunk
// j mod (D / 16) of query heads j / (D / 16), then every 64 / (D / 16) heads on.
template <int D, uint32_t MaxGroup>
SYCL_ESIMD_FUNCTION inline void sdpFp16KeyBlocks64(const sdp_fp16_params& p,
                                                   sycl::nd_item<2> item) {
  constexpr bool kGrouped = MaxGroup > 1;
  constexpr uint32_t kChunks = kSdpChunks<D>;
  constexpr uint32_t kRowBytes = kSdpRowBytes<fp16, D>;
  constexpr uint32_t kWeights = kSdpFp16BlockWeights<D>;  // query head g's 64 weights at + 256 * g
  constexpr uint32_t kPlaneBytes = kSdpBlockKeys * kSdpChunkKeyBytes;
  static_assert(kSdpBlockKeys % kChunks == 0 && MaxGroup <= kSdpBlockKeys,
                "sdpFp16KeyBlocks64: the 64 work-items take whole rounds of (head, chunk) pairs");
  constexpr uint32_t kHeadStep = kSdpBlockKeys / kChunks;  // query heads of a round of pairs
  constexpr uint32_t kPairs = (MaxGroup + kHeadStep - 1) / kHeadStep;  // per work-item at most
  static_assert(kSdpSlmFp16KeyBlocks64<D, MaxGroup> <= 65536,
                "sdpFp16KeyBlocks64: SLM over 64 KiB");
  esimd::slm_init<kSdpSlmFp16KeyBlocks64<D, MaxGroup>>();
  const uint32_t j = item.get_local_id(0);
  const uint32_t hk = item.get_group(0);
  const uint32_t b = item.get_group(1);
  const uint32_t groupHeads = kGrouped ? uint32_t(p.heads / p.kv_heads) : 1;
  const uint32_t slot0 = (b * uint32_t(item.get_group_range(0)) + hk) * groupHeads;
  const uint32_t qRows = kWeights + groupHeads * kSdpBlockKeys * 4;  // grouped: staged query rows
  const int n = int(uint32_t(p.kv_len));
  const int blocks = (n + 63) >> 6;
  const uint32_t kvBase = (uint32_t(b * p.stride0) + uint32_t(hk * p.stride1)) * 2;
  const uint32_t c = j % kChunks;   // output chunk of this work-item's pairs
  const uint32_t g0 = j / kChunks;  // first query head of its pairs (then g0 + kHeadStep, ...)

  // The ungrouped kernel keeps its query row in registers; the grouped one stages the G rows in
  // SLM, each read from global memory once.
  simd<fp16, D> qRow;
  if constexpr (kGrouped) {
    if (j < groupHeads)
      esimd::slm_block_store<fp16, D>(qRows + j * kRowBytes,
                                      loadRow<fp16, D>(p.q, (slot0 + j) * kRowBytes));
    esimd::barrier();  // the query rows are staged
  } else {
    qRow = loadRow<fp16, D>(p.q, slot0 * kRowBytes);
  }

  simd<float, 16> acc[kPairs];   // chunk c of query head g0 + kHeadStep * m
  simd<float, 16> wsum[kPairs];  // its weight sums, lane l: keys = l mod 16
  for (uint32_t m = 0; m < kPairs; ++m) acc[m] = wsum[m] = 0;
  for (int blk = 0; blk < blocks; ++blk) {
    const int t = blk * int(kSdpBlockKeys) + int(j);
    simd<fp16, D> vRow = 0;
    if (t < n) {
      const uint32_t rowOffset = kvBase + uint32_t(t) * kRowBytes;
      simd<fp16, D> kRow = loadRow<fp16, D>(p.k, rowOffset);
      vRow = loadRow<fp16, D>(p.v, rowOffset);
      for (uint32_t g = 0; g < groupHeads; ++g) {
        if constexpr (kGrouped) qRow = esimd::slm_block_load<fp16, D>(qRows + g * kRowBytes);
        storeSlmFloat1(kWeights + 256 * g + 4 * j, keyWeight(qRow, kRow));
      }
    } else {
      for (uint32_t g = 0; g < groupHeads; ++g) storeSlmFloat1(kWeights + 256 * g + 4 * j, 0.0f);
    }
    stageHalfRow<D>(vRow, kPlaneBytes, j * kSdpChunkKeyBytes);
    esimd::barrier();
    if (g0 < groupHeads) {
      const uint32_t pairs = (groupHeads - g0 + kHeadStep - 1) / kHeadStep;
      simd<float, 64> w64[kPairs];
      for (uint32_t m = 0; m < pairs; ++m)
        w64[m] = esimd::slm_block_load<float, 64>(kWeights + 256 * (g0 + kHeadStep * m));
      simd<fp16, 1024> plane;  // chunk c of the block's 64 keys
      for (int i = 0; i < 8; ++i)
        plane.select<128, 1>(128 * i) = esimd::slm_block_load<fp16, 128>(c * kPlaneBytes + i * 256);
      for (int e = 0; e < 64; ++e) {
        simd<float, 16> values = plane.select<16, 1>(16 * e);
        for (uint32_t m = 0; m < pairs; ++m) acc[m] += values * float(w64[m][e]);
      }
      for (uint32_t m = 0; m < pairs; ++m)
        for (int i = 0; i < 4; ++i) wsum[m] += w64[m].template select<16, 1>(16 * i);
    }
    esimd::barrier();  // the next block's staging must not overtake these reads
  }
  for (uint32_t m = 0; g0 + kHeadStep * m < groupHeads; ++m)
    finishChunkFp16x16<16>(acc[m], wsum[m], p.out,
                           (slot0 + g0 + kHeadStep * m) * kRowBytes + 32 * c);
}

}  // namespace vantrel::kernels
