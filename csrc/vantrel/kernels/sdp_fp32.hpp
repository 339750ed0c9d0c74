// Single-precision attention kernels (head dimension 128, one query row per head), contiguous
// tensors: query head h of batch entry b at row b * H + h of q and the output; key and value row t
// of key/value head g of batch entry b at row (b * H_kv + g) * kv_len + t (see sdp_fp32_params).
#pragma once

#include <cstdint>

#include "vantrel/kernels/sdp_common.hpp"
#include "vantrel/kernels/sdp_launch.hpp"

namespace vantrel::kernels {

// SLM of sdpDim128Fp32KeyBlocks64: eight planes of 64 rows x 16 floats, then 64 float weights.
constexpr uint32_t kFp32BlockWeights = 8 * 4096;                            // 32768
constexpr uint32_t kSlmFp32Blocks = kFp32BlockWeights + kSdpBlockKeys * 4;  // 33024
// SLM of sdpDim128Fp32KeyBlocks64Grouped: the planes, then 64 float weights per query head of the
// group, then the group's query rows.
constexpr uint32_t kSlmFp32BlocksGrouped =
    kFp32BlockWeights + uint32_t(kSdpMaxGroupHeads) * (kSdpBlockKeys * 4 + kSdpFloatRowBytes);
static_assert(kSlmFp32BlocksGrouped <= 65536);

// Attention for any number of keys >= 1: one work-group of 64 work-items per (head, batch entry)
// walking the keys in blocks of 64.
SYCL_ESIMD_FUNCTION inline void sdpDim128Fp32KeyBlocks64(const sdp_fp32_params& p,
                                                         sycl::nd_item<2> item) {
  esimd::slm_init<kSlmFp32Blocks>();
  const uint32_t l = item.get_local_id(0);
  const uint32_t h = item.get_group(0);
  const uint32_t b = item.get_group(1);
  const uint32_t s = b * uint32_t(item.get_group_range(0)) + h;
  const int n = int(uint32_t(p.kv_len));
  const int blocks = (n + 63) >> 6;

  simd<float, 128> qRow = loadFloatRow128(p.q, s * kSdpFloatRowBytes);
  simd<float, 16> acc = 0;
  simd<float, 16> wsum = 0;
  for (int blk = 0; blk < blocks; ++blk) {
    const int t = blk * int(kSdpBlockKeys) + int(l);
    simd<float, 128> vRow = 0;
    float w = 0.0f;
    if (t < n) {
      const uint32_t rowOffset = (s * uint32_t(n) + uint32_t(t)) * kSdpFloatRowBytes;
      simd<float, 128> kRow = loadFloatRow128(p.k, rowOffset);
      vRow = loadFloatRow128(p.v, rowOffset);
      w = scoreDim128(qRow, kRow);
    }
    storeSlmFloat1(kFp32BlockWeights + 4 * l, w);
    stageFloatRow128(vRow, l);
    esimd::barrier();
    if (l < 8) {
      simd<float, 64> w64 = esimd::slm_block_load<float, 64>(kFp32BlockWeights);
      for (uint32_t part = 0; part < 2; ++part) {
        simd<float, 512> staged;  // 32 rows of value plane l
        for (uint32_t i = 0; i < 8; ++i)
          staged.select<64, 1>(64 * i) =
              esimd::slm_block_load<float, 64>(4096 * l + 2048 * part + 256 * i);
        for (int e = 0; e < 32; ++e)
          acc += staged.select<16, 1>(16 * e) * float(w64[32 * part + e]);
      }
      for (int m = 0; m < 4; ++m) wsum += w64.select<16, 1>(16 * m);
    }
    esimd::barrier();
  }
  if (l < 8) finishChunkFp32x16(acc, wsum, p.out, (s * kSdpHeadDim + 16 * l) * 4);
}

// Grouped attention for any number of keys >= 1: one work-group of 64 work-items per (key/value
// head, batch entry) walking the keys in blocks of 64, serving the G query heads of that key/value
// head. Work-item l reads key and value row l of each block once and computes its G weights;
// work-items l < 8 * G accumulate chunk l mod 8 of query heads l / 8, l / 8 + 8, ... (at most
// four), each as in sdpDim128Fp32KeyBlocks64.
SYCL_ESIMD_FUNCTION inline void sdpDim128Fp32KeyBlocks64Grouped(const sdp_fp32_params& p,
                                                                sycl::nd_item<2> item) {
  constexpr uint32_t kWeights = kFp32BlockWeights;  // query head g's 64 weights at + 256 * g
  constexpr uint32_t kPairs = kSdpMaxGroupPairsPerItem;
  esimd::slm_init<kSlmFp32BlocksGrouped>();
  const uint32_t l = item.get_local_id(0);
  const uint32_t hk = item.get_group(0);
  const uint32_t b = item.get_group(1);
  const uint32_t groupHeads = uint32_t(p.heads / p.kv_heads);
  const uint32_t kvSlot = b * uint32_t(item.get_group_range(0)) + hk;
  const uint32_t slot0 = kvSlot * groupHeads;
  const uint32_t qRows = kWeights + groupHeads * kSdpBlockKeys * 4;
  const int n = int(uint32_t(p.kv_len));
  const int blocks = (n + 63) >> 6;
  const uint32_t c = l % 8;   // output chunk of this work-item's pairs
  const uint32_t g0 = l / 8;  // first query head of its pairs (then g0 + 8, ...)

  if (l < groupHeads) {
    simd<float, 128> qRow = loadFloatRow128(p.q, (slot0 + l) * kSdpFloatRowBytes);
    esimd::slm_block_store<float, 128>(qRows + l * kSdpFloatRowBytes, qRow);
  }
  esimd::barrier();  // the query rows are staged

  simd<float, 16> acc[kPairs];   // chunk c of query head g0 + 8m
  simd<float, 16> wsum[kPairs];  // its weight sums, lane i: keys = i mod 16
  for (uint32_t m = 0; m < kPairs; ++m) acc[m] = wsum[m] = 0;
  for (int blk = 0; blk < blocks; ++blk) {
    const int t = blk * int(kSdpBlockKeys) + int(l);
    simd<float, 128> vRow = 0;
    if (t < n) {
      const uint32_t rowOffset = (kvSlot * uint32_t(n) + uint32_t(t)) * kSdpFloatRowBytes;
      simd<float, 128> kRow = loadFloatRow128(p.k, rowOffset);
      vRow = loadFloatRow128(p.v, rowOffset);
      for (uint32_t g = 0; g < groupHeads; ++g) {
        simd<float, 128> qRow = esimd::slm_block_load<float, 128>(qRows + g * kSdpFloatRowBytes);
        storeSlmFloat1(kWeights + 256 * g + 4 * l, scoreDim128(qRow, kRow));
      }
    } else {
      for (uint32_t g = 0; g < groupHeads; ++g) storeSlmFloat1(kWeights + 256 * g + 4 * l, 0.0f);
    }
    stageFloatRow128(vRow, l);
    esimd::barrier();
    if (g0 < groupHeads) {
      const uint32_t pairs = (groupHeads - g0 + 7) / 8;
      simd<float, 64> w64[kPairs];
      for (uint32_t m = 0; m < pairs; ++m)
        w64[m] = esimd::slm_block_load<float, 64>(kWeights + 256 * (g0 + 8 * m));
      for (uint32_t part = 0; part < 2; ++part) {
        simd<float, 512> staged;  // 32 rows of value plane c
        for (uint32_t i = 0; i < 8; ++i)
          staged.select<64, 1>(64 * i) =
              esimd::slm_block_load<float, 64>(4096 * c + 2048 * part + 256 * i);
        for (int e = 0; e < 32; ++e) {
          simd<float, 16> values = staged.select<16, 1>(16 * e);
          for (uint32_t m = 0; m < pairs; ++m) acc[m] += values * float(w64[m][32 * part + e]);
        }
      }
      for (uint32_t m = 0; m < pairs; ++m)
        for (int i = 0; i < 4; ++i) wsum[m] += w64[m].select<16, 1>(16 * i);
    }
    esimd::barrier();
  }
  for (uint32_t m = 0; g0 + 8 * m < groupHeads; ++m)
    finishChunkFp32x16(acc[m], wsum[m], p.out, ((slot0 + g0 + 8 * m) * kSdpHeadDim + 16 * c) * 4);
}

}  // namespace vantrel::kernels
