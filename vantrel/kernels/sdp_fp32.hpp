// Single-precision attention kernels (head dimension 128, one query row per head), contiguous
// tensors: head h of batch entry b at row b * H + h of q and the output; key and value row t of
// head h of batch entry b at row (b * H + h) * kv_len + t (see sdp_fp32_params).
#pragma once

#include <cstdint>

#include "kernels/sdp_common.hpp"
#include "kernels/sdp_launch.hpp"

namespace vantrel::kernels {

// SLM of sdpDim128Fp32KeyBlocks64: eight planes of 64 rows x 16 floats, then 64 float weights.
constexpr uint32_t kFp32BlockWeights = 8 * 4096;                            // 32768
constexpr uint32_t kSlmFp32Blocks = kFp32BlockWeights + kSdpBlockKeys * 4;  // 33024

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

}  // namespace vantrel::kernels
