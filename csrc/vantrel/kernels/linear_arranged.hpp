// Linear kernels on weights pre-arranged in blocks of 16 output features, [ceil(N/16)][K][16]
// halves (output feature n, input feature k at ((n / 16) K + k) 16 + n % 16), one instantiation
// per layer width K and weight format (kernel names gemmCommonDim{K}Fp16V0 for binary16 weights,
// gemmCommonDim{K}Int{b}G{g}V0 for packed codes in the same layout). Torch-free.
#pragma once

#include <cstdint>
#include <type_traits>

#include "vantrel/kernels/esimd_common.hpp"
#include "vantrel/kernels/linear_formats.hpp"
#include "vantrel/kernels/linear_loads.hpp"
#include "vantrel/kernels/linear_params.hpp"

namespace vantrel::kernels {

// A work-group of 64 work-items owns 16 output features (group index 0) and up to 128 input rows
// (group index 1). Work-item w keeps the F x 16 weight tile of input features F w .. F w + F - 1
// (F = K / 64) in registers, forms 4 rows x 16 partial sums per block of four rows, summing over
// its features in order, and the 64 partial sums per output meet in SLM, where work-items 0..3
// finish and store one row each. Global range (64 ceil(N/16), ceil(M/128)), local (64, 1). All
// arithmetic is binary16. The weight format fills the tile (linear_formats.hpp); everything after
// it is the same for every format.
template <uint32_t K, typename Format = binary16_weights>
SYCL_ESIMD_FUNCTION inline void gemmCommonDimFp16V0(const typename Format::params& params,
                                                    sycl::nd_item<2> item) {
  constexpr uint32_t F = K / 64;  // input features per work-item
  static_assert(K % 512 == 0, "the tile must be whole 256-byte blocks");
  constexpr uint32_t kInputRowBytes = K * sizeof(fp16);
  constexpr uint32_t kSliceBytes = F * sizeof(fp16);           // its features of one input row
  constexpr uint32_t kSlmRowSection = 64 * 16 * sizeof(fp16);  // 2048, partial sums of a row
  // Four rows of input slices; at least 512 lanes, since the finishing fold uses it as scratch.
  constexpr int kInLanes = 4 * F > 512 ? 4 * F : 512;

  constexpr uint32_t kSlmStageBase = 16384;  // the format's staging area follows the sums'
  esimd::slm_init<kSlmStageBase + Format::arrangedStageBytes(K)>();

  const uint32_t w = item.get_local_id(0) * item.get_local_range(1) + item.get_local_id(1);
  const uint32_t g0 = item.get_group(0);
  const uint32_t G0 = item.get_group_range(0);
  const uint32_t g1 = item.get_group(1);
  const uint32_t G1 = item.get_group_range(1);
  const uint32_t ldo = 16 * G0;  // output row stride in elements
  const uint32_t m = static_cast<uint32_t>(params.M);

  const simd<uint32_t, 4> baseOffsetInc4(0, 1);  // {0, 1, 2, 3}
  simd<uint32_t, 4> rows = baseOffsetInc4 + 128 * g1;
  uint32_t o = (128 * g1 + w) * ldo + 16 * g0;  // output element of this item's row (w < 4)
  const uint32_t blocks = g1 + 1 < G1 ? 32 : (m - 128 * g1 + 3) / 4;

  // Tile element 16k + j: weight of output feature 16 g0 + j at input feature F w + k.
  simd<fp16, 16 * F> tile;
  Format::template loadArrangedTile<K>(params, g0, w, kSlmStageBase, tile);

  // Elements F r .. F r + F - 1: input features F w .. F w + F - 1 of row rows[r]. Rows at or
  // past M are not read; their lanes are zero. The vector is also the reduction's scratch.
  simd<fp16, kInLanes> in;
  auto loadInputs = [&]() {
    for (uint32_t r = 0; r < 4; ++r) {
      const uint32_t row = rows[r];
      if (row < m)
        in.template bit_cast_view<uint32_t>().template select<F / 2, 1>(F / 2 * r) =
            loadWordsSplit<F / 2>(params.input, row * kInputRowBytes + kSliceBytes * w);
      else
        in.template select<F, 1>(F * r) = 0;
    }
  };
  loadInputs();

  simd<fp16, 64> acc;  // 16 output features for each of the four rows
  // Each row's 16 sums run over k = 0 .. F - 1 in order; the rows' chains are independent, so
  // they are interleaved. Only the block's rows below M are computed: nothing reads the others.
  auto accumulate = [&](auto rowCount) {
    constexpr int kRows = decltype(rowCount)::value;
    for (uint32_t k = 0; k < F; ++k)
      for (int r = 0; r < kRows; ++r) {
        const fp16 x = in[F * r + k];
        acc.template select<16, 1>(16 * r) += tile.template select<16, 1>(16 * k) * x;
      }
    for (int r = 0; r < kRows; ++r)
      esimd::slm_block_store<fp16, 16>(kSlmRowSection * r + 32 * w,
                                       acc.template select<16, 1>(16 * r).read());
  };
  for (uint32_t t = 0; t < blocks; ++t) {
    acc = 0;
    const uint32_t live = m - rows[0];  // rows of this block below M, at least 1
    if (live >= 4)
      accumulate(std::integral_constant<int, 4>());
    else if (live == 3)
      accumulate(std::integral_constant<int, 3>());
    else if (live == 2)
      accumulate(std::integral_constant<int, 2>());
    else
      accumulate(std::integral_constant<int, 1>());
    esimd::barrier();

    if (w < 4) {
      const uint32_t row = rows[w];
      if (row < m) {
        // Section w holds the 64 work-items' partial sums for this row, 16 per work-item; each
        // half of it (work-items 0..31, then 32..63) is folded pairwise into 32 lanes, then 16.
        simd<fp16, 16> y[2];
        for (int h = 0; h < 2; ++h) {
          for (int i = 0; i < 4; ++i)
            in.template select<128, 1>(128 * i) =
                esimd::slm_block_load<fp16, 128>(kSlmRowSection * w + 1024 * h + 256 * i);
          for (int i = 1; i < 16; ++i)
            in.template select<32, 1>(0) += in.template select<32, 1>(32 * i);
          y[h] = in.template select<16, 1>(0) + in.template select<16, 1>(16);
        }
        simd<fp16, 16> out = y[0] + y[1];
        storeWords<8>(params.output, 2 * o, out.bit_cast_view<uint32_t>().read());
        o += 4 * ldo;
      }
    }
    rows += 4;
    esimd::barrier();
    if (t + 1 < blocks) loadInputs();
  }
}

}  // namespace vantrel::kernels
