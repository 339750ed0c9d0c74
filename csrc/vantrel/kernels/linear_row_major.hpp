// Linear kernels on row-major weights [N][K] halves, one instantiation per layer width K (kernel
// names gemmCommonDim{K}Fp16NoReshape) and, on packed codes in the same layout, per weight format
// (gemmCommonDim{K}Int{b}G{g}NoReshape). Torch-free.
#pragma once

#include <cstdint>
#include <type_traits>

#include "vantrel/kernels/esimd_common.hpp"
#include "vantrel/kernels/linear_formats.hpp"
#include "vantrel/kernels/linear_loads.hpp"
#include "vantrel/kernels/linear_params.hpp"

namespace vantrel::kernels {

// A work-group of 11 x 4 work-items owns 4 consecutive output features; work-item (a, b) serves
// feature 4g + b and keeps the 128-wide slices a + 11j (j = 0, 1, ... while a + 11j < ceil(K/128))
// of its weight row in registers. When 128 does not divide K, the last slice is partial: its
// K % 128 elements (whole 16-element chunks) are the last slice of work-item (ceil(K/128) - 1) mod
// 11, which sums only those chunks. Work-items without a slice contribute zero. Each work-item
// folds its 16 lanes to one value per row, the values meet in SLM, and work-item (0, 0) finishes
// and stores all four features of every row. Global range (11 ceil(N/4), 4), local (11, 4). All
// arithmetic is binary16. The weight format fills the slices (linear_formats.hpp); everything
// after them is the same for every format.
template <uint32_t K, typename Format = binary16_weights>
SYCL_ESIMD_FUNCTION inline void gemmCommonDimFp16NoReshape(const typename Format::params& params,
                                                           sycl::nd_item<2> item) {
  static_assert(K % 16 == 0, "rows are whole 16-element chunks");
  constexpr uint32_t kSlices = (K + 127) / 128;         // the partial one included
  constexpr uint32_t kTail = K % 128;                   // elements of the partial slice, or 0
  constexpr uint32_t kTailOwner = (kSlices - 1) % 11;   // the work-item holding it
  constexpr uint32_t kMaxSlices = (kSlices + 10) / 11;  // held by work-item a = 0
  constexpr uint32_t kRowBytes = K * sizeof(fp16);      // input and weight rows
  constexpr uint32_t kSliceBytes = 128 * sizeof(fp16);  // 256
  constexpr uint32_t kSliceStride = 11 * kSliceBytes;   // 2816, between a work-item's slices
  constexpr uint32_t kSlmRegionBytes = 12 * 8;          // 96: 12 slots of 4 rows per feature

  esimd::slm_init<kSlmRegionBytes * 4 + Format::rowMajorStageBytes(K)>();

  const uint32_t a = item.get_local_id(0);
  const uint32_t b = item.get_local_id(1);
  const uint32_t g = item.get_group(0);
  const uint32_t G = item.get_group_range(0);
  const uint32_t ldo = 4 * G;  // output row stride in elements
  const uint32_t m = static_cast<uint32_t>(params.M);

  const simd<uint32_t, 4> baseOffsetInc4(0, 1);  // {0, 1, 2, 3}
  const simd<uint32_t, 2> baseOffsetInc2(0, 1);  // {0, 1}
  simd<uint32_t, 4> rows = baseOffsetInc4;
  uint32_t o = 4 * g;  // output element of feature 0, row 0 of the block
  const uint32_t blocks = (m + 3) >> 2;
  const int slices = (kSlices + 10 - a) / 11;  // the j with a + 11j < ceil(K / 128); may be 0
  const bool tail = kTail != 0 && a == kTailOwner;
  const int whole = slices - (tail ? 1 : 0);  // slices of 128 elements; the partial one follows

  // Slice j in elements 128j .. 128j+127 (the partial one in its first K % 128).
  simd<fp16, 128 * kMaxSlices> wts;
  Format::template loadRowMajorSlices<K, kMaxSlices>(params, 4 * g + b, a, b, whole, tail,
                                                     kSlmRegionBytes * 4, wts);

  simd<fp16, 512> in;  // row r of the slice in hand at 128r; the leader's scratch
  simd<fp16, 64> acc;  // 16 lanes for each of the four rows
  const uint32_t slot = kSlmRegionBytes * b + 8 * a;
  // Slice j of the rows below M into the lanes, in its chunks q = 0 .. kChunks - 1.
  auto sliceSums = [&](int j, auto chunkCount) {
    constexpr int kChunks = decltype(chunkCount)::value;
    const uint32_t inputOffset = kSliceBytes * a + kSliceStride * j;
    for (int r = 0; r < 4; ++r) {
      const uint32_t row = rows[r];
      if (row < m)
        in.template bit_cast_view<uint32_t>().template select<8 * kChunks, 1>(64 * r) =
            loadWordsSplit<8 * kChunks>(params.input, row * kRowBytes + inputOffset);
    }
    for (int r = 0; r < 4; ++r) {
      const uint32_t row = rows[r];
      if (row < m)
        for (int q = 0; q < kChunks; ++q)
          acc.template select<16, 1>(16 * r) += wts.template select<16, 1>(128 * j + 16 * q) *
                                                in.template select<16, 1>(128 * r + 16 * q);
    }
  };
  for (uint32_t t = 0; t < blocks; ++t) {
    acc = 0;
    for (int j = 0; j < whole; ++j) sliceSums(j, std::integral_constant<int, 8>());
    if constexpr (kTail != 0)
      if (tail) sliceSums(whole, std::integral_constant<int, kTail / 16>());

    // Lane tree: 16 lanes of each row to one value.
    simd<fp16, 4> partial;
    for (int r = 0; r < 4; ++r) partial[r] = foldLanes<fp16, 16>(acc.select<16, 1>(16 * r));
    esimd::slm_scatter<uint32_t, 2>(baseOffsetInc2 * 4 + slot,
                                    partial.bit_cast_view<uint32_t>().read());
    if (a == 0)  // slot 11 of the region: zeros
      esimd::slm_scatter<uint32_t, 2>(baseOffsetInc2 * 4 + (kSlmRegionBytes * b + 88),
                                      simd<uint32_t, 2>(0));
    esimd::barrier();

    if (a == 0 && b == 0) {
      // Scratch element 48f + 4s + r: slot s, row r of feature f.
      in.select<128, 1>(0) = esimd::slm_block_load<fp16, 128>(0);
      in.select<64, 1>(128) = esimd::slm_block_load<fp16, 64>(256);
      for (int f = 0; f < 4; ++f) {
        auto v = in.select<48, 1>(48 * f);
        v.select<16, 1>(0) += v.select<16, 1>(16);  // slots s + (s + 4)
        v.select<16, 1>(0) += v.select<16, 1>(32);  // + slot s + 8
        v.select<8, 1>(0) += v.select<8, 1>(8);     // slots 0, 1 + slots 2, 3
        in.select<4, 1>(192 + 4 * f) = v.select<4, 1>(0) + v.select<4, 1>(4);
      }
      for (int r = 0; r < 4; ++r) {
        const uint32_t row = rows[r];
        if (row < m) {
          simd<fp16, 4> out = in.select<4, 4>(192 + r);  // features 0..3 of row r
          storeWords<2>(params.output, 2 * (o + r * ldo), out.bit_cast_view<uint32_t>().read());
        }
      }
    }
    esimd::barrier();
    rows += 4;
    o += 4 * ldo;
  }
}

}  // namespace vantrel::kernels
