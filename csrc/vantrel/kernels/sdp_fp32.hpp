// Single-precision attention kernel (one query row of D elements per head), templated on the head
// size D and on the most query heads MaxGroup one key/value head serves: 1 for the ungrouped
// kernel (H_kv = H), kSdpMaxGroupHeads for the grouped one. Contiguous tensors: query head h of
// batch entry b at row b * H + h of q and the output; key and value row t of key/value head g of
// batch entry b at row (b * H_kv + g) * kv_len + t (see sdp_fp32_params).
#pragma once

#include <cstdint>

#include "vantrel/kernels/sdp_common.hpp"
#include "vantrel/kernels/sdp_launch.hpp"

namespace vantrel::kernels {

// Offset of the weights in the SLM of sdpFp32KeyBlocks64, after the D / 16 value planes of 64 rows
// x 16 floats.
template <int D>
constexpr uint32_t kSdpFp32BlockWeights = kSdpChunks<D>* kSdpFloatPlaneBytes;
// SLM of sdpFp32KeyBlocks64: the value planes, then 64 float weights per query head of the group,
// then (grouped) the group's query rows. 33024 bytes for D = 128 ungrouped, 57344 grouped; 16640
// and 32768 for D = 64.
template <int D, uint32_t MaxGroup>
constexpr uint32_t kSdpSlmFp32KeyBlocks64 = kSdpFp32BlockWeights<D> + MaxGroup* kSdpBlockKeys * 4 +
                                            (MaxGroup > 1 ? MaxGroup * kSdpRowBytes<float, D> : 0);

// Attention for any number of keys >= 1: one work-group of 64 work-items per (key/value head,
// batch entry) walking the keys in blocks of 64, serving the G query heads of that key/value head
// (G = 1 when MaxGroup is 1). Work-item l reads key and value row l of each block once and
// computes its G weights; work-items l < G * D / 16 accumulate chunk l mod (D / 16) of query heads
// l / (D / 16), then every 64 / (D / 16) heads on.
template <int D, uint32_t MaxGroup>
SYCL_ESIMD_FUNCTION inline void sdpFp32KeyBlocks64(const sdp_fp32_params& p,
                                                   sycl::nd_item<2> item) {
  constexpr bool kGrouped = MaxGroup > 1;
  constexpr uint32_t kChunks = kSdpChunks<D>;
  constexpr uint32_t kRowBytes = kSdpRowBytes<float, D>;
  constexpr uint32_t kWeights = kSdpFp32BlockWeights<D>;  // query head g's 64 weights at + 256 * g
  static_assert(kSdpBlockKeys % kChunks == 0 && MaxGroup <= kSdpBlockKeys,
                "sdpFp32KeyBlocks64: the 64 work-items take whole rounds of (head, chunk) pairs");
  constexpr uint32_t kHeadStep = kSdpBlockKeys / kChunks;  // query heads of a round of pairs
  constexpr uint32_t kPairs = (MaxGroup + kHeadStep - 1) / kHeadStep;  // per work-item at most
  static_assert(kSdpSlmFp32KeyBlocks64<D, MaxGroup> <= 65536,
                "sdpFp32KeyBlocks64: SLM over 64 KiB");
  esimd::slm_init<kSdpSlmFp32KeyBlocks64<D, MaxGroup>>();
  const uint32_t l = item.get_local_id(0);
  const uint32_t hk = item.get_group(0);
  const uint32_t b = item.get_group(1);
  const uint32_t groupHeads = kGrouped ? uint32_t(p.heads / p.kv_heads) : 1;
  const uint32_t kvSlot = b * uint32_t(item.get_group_range(0)) + hk;
  const uint32_t slot0 = kvSlot * groupHeads;
  const uint32_t qRows = kWeights + groupHeads * kSdpBlockKeys * 4;  // grouped: staged query rows
  const int n = int(uint32_t(p.kv_len));
  const int blocks = (n + 63) >> 6;
  const uint32_t c = l % kChunks;   // output chunk of this work-item's pairs
  const uint32_t g0 = l / kChunks;  // first query head of its pairs (then g0 + kHeadStep, ...)

  // The ungrouped kernel keeps its query row in registers; the grouped one stages the G rows in
  // SLM, each read from global memory once.
  simd<float, D> qRow;
  if constexpr (kGrouped) {
    if (l < groupHeads)
      esimd::slm_block_store<float, D>(qRows + l * kRowBytes,
                                       loadRow<float, D>(p.q, (slot0 + l) * kRowBytes));
    esimd::barrier();  // the query rows are staged
  } else {
    qRow = loadRow<float, D>(p.q, slot0 * kRowBytes);
  }

  simd<float, 16> acc[kPairs];   // chunk c of query head g0 + kHeadStep * m
  simd<float, 16> wsum[kPairs];  // its weight sums, lane i: keys = i mod 16
  for (uint32_t m = 0; m < kPairs; ++m) acc[m] = wsum[m] = 0;
  for (int blk = 0; blk < blocks; ++blk) {
    const int t = blk * int(kSdpBlockKeys) + int(l);
    simd<float, D> vRow = 0;
    if (t < n) {
      const uint32_t rowOffset = (kvSlot * uint32_t(n) + uint32_t(t)) * kRowBytes;
      simd<float, D> kRow = loadRow<float, D>(p.k, rowOffset);
      vRow = loadRow<float, D>(p.v, rowOffset);
      for (uint32_t g = 0; g < groupHeads; ++g) {
        if constexpr (kGrouped) qRow = esimd::slm_block_load<float, D>(qRows + g * kRowBytes);
        storeSlmFloat1(kWeights + 256 * g + 4 * l, keyWeight(qRow, kRow));
      }
    } else {
      for (uint32_t g = 0; g < groupHeads; ++g) storeSlmFloat1(kWeights + 256 * g + 4 * l, 0.0f);
    }
    stageFloatRow<D>(vRow, l);
    esimd::barrier();
    if (g0 < groupHeads) {
      const uint32_t pairs = (groupHeads - g0 + kHeadStep - 1) / kHeadStep;
      simd<float, 64> w64[kPairs];
      for (uint32_t m = 0; m < pairs; ++m)
        w64[m] = esimd::slm_block_load<float, 64>(kWeights + 256 * (g0 + kHeadStep * m));
      for (uint32_t part = 0; part < 2; ++part) {
        simd<float, 512> staged;  // 32 rows of value plane c
        for (uint32_t i = 0; i < 8; ++i)
          staged.select<64, 1>(64 * i) =
              esimd::slm_block_load<float, 64>(kSdpFloatPlaneBytes * c + 2048 * part + 256 * i);
        for (int e = 0; e < 32; ++e) {
          simd<float, 16> values = staged.select<16, 1>(16 * e);
          for (uint32_t m = 0; m < pairs; ++m) acc[m] += values * float(w64[m][32 * part + e]);
        }
      }
      for (uint32_t m = 0; m < pairs; ++m)
        for (int i = 0; i < 4; ++i) wsum[m] += w64[m].template select<16, 1>(16 * i);
    }
    esimd::barrier();  // the next block's staging must not overtake these reads
  }
  for (uint32_t m = 0; g0 + kHeadStep * m < groupHeads; ++m)
    finishChunkFp32x16(acc[m], wsum[m], p.out,
                       ((slot0 + g0 + kHeadStep * m) * uint32_t(D) + 16 * c) * 4);
}

}  // namespace vantrel::kernels
