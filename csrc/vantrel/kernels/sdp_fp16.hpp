// Half-precision attention kernels (head dimension 128, one query row per head). Rows of q and the
// output: query head h of batch entry b at row b * H + h; key and value row t of key/value head g
// of batch entry b at element b * stride0 + g * stride1 + 128 * t (see sdp_fp16_params).
#pragma once

#include <cstdint>

#include "vantrel/kernels/sdp_common.hpp"
#include "vantrel/kernels/sdp_launch.hpp"

namespace vantrel::kernels {

// SLM of sdpDim128Fp16Keys128: eight value planes of up to 128 keys x 32 bytes, then one float
// weight per key.
constexpr uint32_t kSlmFp16Keys128 = 128 * (8 * 32 + 4);  // 33280
// SLM of sdpDim128Fp16Keys128Grouped: the value planes, then per query head of the group one float
// weight per key, then the group's query rows.
constexpr uint32_t kSlmFp16Keys128Grouped =
    128 * 8 * 32 + uint32_t(kSdpMaxGroupHeads) * (128 * 4 + kSdpHalfRowBytes);  // 57344
// SLM of sdpDim128Fp16KeyBlocks64: eight planes of 64 keys x 32 bytes, then 64 float weights.
constexpr uint32_t kSlmFp16Blocks = kSdpBlockKeys * (8 * 32 + 4);  // 16640
constexpr uint32_t kFp16BlockWeights = kSdpBlockKeys * 8 * 32;     // 16384
// SLM of sdpDim128Fp16KeyBlocks64Grouped: the planes, then 64 float weights per query head of the
// group, then the group's query rows.
constexpr uint32_t kSlmFp16BlocksGrouped =
    kFp16BlockWeights + uint32_t(kSdpMaxGroupHeads) * (kSdpBlockKeys * 4 + kSdpHalfRowBytes);
static_assert(kSlmFp16Keys128Grouped <= 65536 && kSlmFp16BlocksGrouped <= 65536);

// Attention for 8 to 128 keys: one work-group per (head, batch entry), one work-item per key.
SYCL_ESIMD_FUNCTION inline void sdpDim128Fp16Keys128(const sdp_fp16_params& p,
                                                     sycl::nd_item<2> item) {
  esimd::slm_init<kSlmFp16Keys128>();
  const uint32_t j = item.get_local_id(0);
  const uint32_t h = item.get_group(0);
  const uint32_t b = item.get_group(1);
  const uint32_t slot = b * uint32_t(item.get_group_range(0)) + h;
  const uint32_t n = uint32_t(p.kv_len);
  const uint32_t pk = (n + 7) & ~7u;  // keys rounded up to whole groups of 8
  const uint32_t planeBytes = pk * 32;
  const uint32_t weights = pk * 256;
  const uint32_t kvBase = (uint32_t(b * p.stride0) + uint32_t(h * p.stride1)) * 2;

  simd<fp16, 128> qRow = loadHalfRow128(p.q, slot * kSdpHalfRowBytes);
  simd<fp16, 128> kRow = loadHalfRow128(p.k, kvBase + j * 256);
  simd<fp16, 128> vRow = loadHalfRow128(p.v, kvBase + j * 256);
  storeSlmFloat1(weights + 4 * j, scoreDim128(qRow, kRow));
  stageHalfRow128(vRow, planeBytes, j * 32);
  // Pad keys n .. pk-1 get zero values and weight 0 (pk - n < 8 <= n, so work-item j fills n + j).
  if (int(pk - n) > int(j)) {
    storeSlmFloat1(weights + 4 * (n + j), 0.0f);
    stageHalfRow128(simd<fp16, 128>(0), planeBytes, (n + j) * 32);
  }
  esimd::barrier();
  if (j >= 8) return;

  // Work-item j reduces output chunk j over all keys, eight at a time.
  simd<float, 16> acc = 0;
  simd<float, 8> wsum = 0;
  for (uint32_t g = 0; g < pk / 8; ++g) {
    simd<fp16, 128> plane = esimd::slm_block_load<fp16, 128>(j * planeBytes + g * 256);
    simd<float, 8> w8 = esimd::slm_block_load<float, 8>(weights + g * 32);
    for (int e = 0; e < 8; ++e) {
      simd<float, 16> values = plane.select<16, 1>(16 * e);
      acc += values * float(w8[e]);
    }
    wsum += w8;
  }
  finishChunkFp16x16<8>(acc, wsum, p.out, slot * kSdpHalfRowBytes + 32 * j);
}

// Grouped attention for 8 to 128 keys: one work-group per (key/value head, batch entry), one
// work-item per key, serving the G query heads of that key/value head. Each work-item reads its
// key and value row once and computes the key's G weights; afterwards the work-items share the
// 8 * G (query head, output chunk) reductions, each done as in sdpDim128Fp16Keys128.
SYCL_ESIMD_FUNCTION inline void sdpDim128Fp16Keys128Grouped(const sdp_fp16_params& p,
                                                            sycl::nd_item<2> item) {
  esimd::slm_init<kSlmFp16Keys128Grouped>();
  const uint32_t j = item.get_local_id(0);
  const uint32_t hk = item.get_group(0);
  const uint32_t b = item.get_group(1);
  const uint32_t groupHeads = uint32_t(p.heads / p.kv_heads);
  const uint32_t slot0 = (b * uint32_t(item.get_group_range(0)) + hk) * groupHeads;
  const uint32_t n = uint32_t(p.kv_len);
  const uint32_t pk = (n + 7) & ~7u;
  const uint32_t planeBytes = pk * 32;
  const uint32_t weights = pk * 256;  // query head g's weights at weights + g * headWeights
  const uint32_t headWeights = pk * 4;
  const uint32_t qRows = weights + groupHeads * headWeights;
  const uint32_t kvBase = (uint32_t(b * p.stride0) + uint32_t(hk * p.stride1)) * 2;

  for (uint32_t g = j; g < groupHeads; g += n)
    esimd::slm_block_store<fp16, 128>(qRows + g * kSdpHalfRowBytes,
                                      loadHalfRow128(p.q, (slot0 + g) * kSdpHalfRowBytes));
  simd<fp16, 128> kRow = loadHalfRow128(p.k, kvBase + j * 256);
  stageHalfRow128(loadHalfRow128(p.v, kvBase + j * 256), planeBytes, j * 32);
  const bool pads = int(pk - n) > int(j);  // work-item j also fills pad key n + j
  if (pads) stageHalfRow128(simd<fp16, 128>(0), planeBytes, (n + j) * 32);
  esimd::barrier();  // the query rows are staged

  for (uint32_t g = 0; g < groupHeads; ++g) {
    simd<fp16, 128> qRow = esimd::slm_block_load<fp16, 128>(qRows + g * kSdpHalfRowBytes);
    storeSlmFloat1(weights + g * headWeights + 4 * j, scoreDim128(qRow, kRow));
    if (pads) storeSlmFloat1(weights + g * headWeights + 4 * (n + j), 0.0f);
  }
  esimd::barrier();

  for (uint32_t pair = j; pair < 8 * groupHeads; pair += n) {
    const uint32_t g = pair / 8;
    const uint32_t c = pair % 8;
    simd<float, 16> acc = 0;
    simd<float, 8> wsum = 0;
    for (uint32_t t = 0; t < pk / 8; ++t) {
      simd<fp16, 128> plane = esimd::slm_block_load<fp16, 128>(c * planeBytes + t * 256);
      simd<float, 8> w8 = esimd::slm_block_load<float, 8>(weights + g * headWeights + t * 32);
      for (int e = 0; e < 8; ++e) {
        simd<float, 16> values = plane.select<16, 1>(16 * e);
        acc += values * float(w8[e]);
      }
      wsum += w8;
    }
    finishChunkFp16x16<8>(acc, wsum, p.out, (slot0 + g) * kSdpHalfRowBytes + 32 * c);
  }
}

// Attention for any number of keys >= 1: one work-group of 64 work-items per (head, batch entry)
// walking the keys in blocks of 64, running sums in registers.
SYCL_ESIMD_FUNCTION inline void sdpDim128Fp16KeyBlocks64(const sdp_fp16_params& p,
                                                         sycl::nd_item<2> item) {
  esimd::slm_init<kSlmFp16Blocks>();
  const uint32_t j = item.get_local_id(0);
  const uint32_t h = item.get_group(0);
  const uint32_t b = item.get_group(1);
  const uint32_t slot = b * uint32_t(item.get_group_range(0)) + h;
  const int n = int(uint32_t(p.kv_len));
  const int blocks = (n + 63) >> 6;
  const uint32_t kvBase = (uint32_t(b * p.stride0) + uint32_t(h * p.stride1)) * 2;

  simd<fp16, 128> qRow = loadHalfRow128(p.q, slot * kSdpHalfRowBytes);
  simd<float, 16> acc = 0;   // output chunk j (work-items 0..7)
  simd<float, 16> wsum = 0;  // lane l: weights of keys = l mod 16 (work-items 0..7)
  for (int blk = 0; blk < blocks; ++blk) {
    const int t = blk * int(kSdpBlockKeys) + int(j);
    simd<fp16, 128> vRow = 0;
    float w = 0.0f;
    if (t < n) {
      const uint32_t rowOffset = kvBase + uint32_t(t) * kSdpHalfRowBytes;
      simd<fp16, 128> kRow = loadHalfRow128(p.k, rowOffset);
      vRow = loadHalfRow128(p.v, rowOffset);
      w = scoreDim128(qRow, kRow);
    }
    storeSlmFloat1(kFp16BlockWeights + 4 * j, w);
    stageHalfRow128(vRow, kSdpBlockKeys * 32, j * 32);
    esimd::barrier();
    if (j < 8) {
      simd<float, 64> w64 = esimd::slm_block_load<float, 64>(kFp16BlockWeights);
      simd<fp16, 1024> plane;
      for (int i = 0; i < 8; ++i)
        plane.select<128, 1>(128 * i) = esimd::slm_block_load<fp16, 128>(j * 2048 + i * 256);
      for (int e = 0; e < 64; ++e) {
        simd<float, 16> values = plane.select<16, 1>(16 * e);
        acc += values * float(w64[e]);
      }
      for (int m = 0; m < 4; ++m) wsum += w64.select<16, 1>(16 * m);
    }
    esimd::barrier();  // the next block's staging must not overtake these reads
  }
  if (j < 8) finishChunkFp16x16<16>(acc, wsum, p.out, slot * kSdpHalfRowBytes + 32 * j);
}

// Grouped attention for any number of keys >= 1: one work-group of 64 work-items per (key/value
// head, batch entry) walking the keys in blocks of 64, serving the G query heads of that key/value
// head. Work-item j reads key and value row j of each block once and computes its G weights;
// work-items j < 8 * G accumulate chunk j mod 8 of query heads j / 8, j / 8 + 8, ... (at most
// four), each as in sdpDim128Fp16KeyBlocks64.
SYCL_ESIMD_FUNCTION inline void sdpDim128Fp16KeyBlocks64Grouped(const sdp_fp16_params& p,
                                                                sycl::nd_item<2> item) {
  constexpr uint32_t kWeights = kFp16BlockWeights;  // query head g's 64 weights at + 256 * g
  constexpr uint32_t kPairs = kSdpMaxGroupPairsPerItem;
  esimd::slm_init<kSlmFp16BlocksGrouped>();
  const uint32_t j = item.get_local_id(0);
  const uint32_t hk = item.get_group(0);
  const uint32_t b = item.get_group(1);
  const uint32_t groupHeads = uint32_t(p.heads / p.kv_heads);
  const uint32_t slot0 = (b * uint32_t(item.get_group_range(0)) + hk) * groupHeads;
  const uint32_t qRows = kWeights + groupHeads * kSdpBlockKeys * 4;
  const int n = int(uint32_t(p.kv_len));
  const int blocks = (n + 63) >> 6;
  const uint32_t kvBase = (uint32_t(b * p.stride0) + uint32_t(hk * p.stride1)) * 2;
  const uint32_t c = j % 8;   // output chunk of this work-item's pairs
  const uint32_t g0 = j / 8;  // first query head of its pairs (then g0 + 8, ...)

  if (j < groupHeads)
    esimd::slm_block_store<fp16, 128>(qRows + j * kSdpHalfRowBytes,
                                      loadHalfRow128(p.q, (slot0 + j) * kSdpHalfRowBytes));
  esimd::barrier();  // the query rows are staged

  simd<float, 16> acc[kPairs];   // chunk c of query head g0 + 8m
  simd<float, 16> wsum[kPairs];  // its weight sums, lane l: keys = l mod 16
  for (uint32_t m = 0; m < kPairs; ++m) acc[m] = wsum[m] = 0;
  for (int blk = 0; blk < blocks; ++blk) {
    const int t = blk * int(kSdpBlockKeys) + int(j);
    simd<fp16, 128> vRow = 0;
    if (t < n) {
      const uint32_t rowOffset = kvBase + uint32_t(t) * kSdpHalfRowBytes;
      simd<fp16, 128> kRow = loadHalfRow128(p.k, rowOffset);
      vRow = loadHalfRow128(p.v, rowOffset);
      for (uint32_t g = 0; g < groupHeads; ++g) {
        simd<fp16, 128> qRow = esimd::slm_block_load<fp16, 128>(qRows + g * kSdpHalfRowBytes);
        storeSlmFloat1(kWeights + 256 * g + 4 * j, scoreDim128(qRow, kRow));
      }
    } else {
      for (uint32_t g = 0; g < groupHeads; ++g) storeSlmFloat1(kWeights + 256 * g + 4 * j, 0.0f);
    }
    stageHalfRow128(vRow, kSdpBlockKeys * 32, j * 32);
    esimd::barrier();
    if (g0 < groupHeads) {
      const uint32_t pairs = (groupHeads - g0 + 7) / 8;
      simd<float, 64> w64[kPairs];
      for (uint32_t m = 0; m < pairs; ++m)
        w64[m] = esimd::slm_block_load<float, 64>(kWeights + 256 * (g0 + 8 * m));
      simd<fp16, 1024> plane;
      for (int i = 0; i < 8; ++i)
        plane.select<128, 1>(128 * i) = esimd::slm_block_load<fp16, 128>(c * 2048 + i * 256);
      for (int e = 0; e < 64; ++e) {
        simd<float, 16> values = plane.select<16, 1>(16 * e);
        for (uint32_t m = 0; m < pairs; ++m) acc[m] += values * float(w64[m][e]);
      }
      for (uint32_t m = 0; m < pairs; ++m)
        for (int i = 0; i < 4; ++i) wsum[m] += w64[m].select<16, 1>(16 * i);
    }
    esimd::barrier();  // the next block's staging must not overtake these reads
  }
  for (uint32_t m = 0; g0 + 8 * m < groupHeads; ++m)
    finishChunkFp16x16<16>(acc[m], wsum[m], p.out,
                           (slot0 + g0 + 8 * m) * kSdpHalfRowBytes + 32 * c);
}

}  // namespace vantrel::kernels
