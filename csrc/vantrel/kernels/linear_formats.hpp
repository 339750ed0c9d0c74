// Weight formats of the linear kernels: how a work-item fills its binary16 weight tile. The kernel
// bodies (linear_arranged.hpp, linear_row_major.hpp) take the format as a template argument and do
// everything after the tile the same way, so a packed kernel's result equals the half kernel's on
// the dequantized weights bit for bit. Torch-free.
//
// binary16_weights: the half weights themselves, loaded as they are.
// packed_weights<Bits>: b-bit codes with a binary16 scale and an int16 zero per group of g input
// features (g at run time); the tile is w = (q - z) s, computed in float32 (exact) and rounded to
// half once. The work-group's scales and zeros are staged through SLM (every work-item copies its
// share of whole 256-byte chunks, a barrier, then each reads the groups its features fall in), so
// every packed byte, scale and zero is read from memory once per call.
#pragma once

#include <cstdint>
#include <type_traits>

#include "vantrel/kernels/esimd_common.hpp"
#include "vantrel/kernels/linear_loads.hpp"
#include "vantrel/kernels/linear_params.hpp"

namespace vantrel::kernels {

struct binary16_weights {
  using params = linear_params;
  // SLM bytes the format uses beyond the kernel's own, by layout.
  static constexpr uint32_t arrangedStageBytes(uint32_t) { return 0; }
  static constexpr uint32_t rowMajorStageBytes(uint32_t) { return 0; }

  // Arranged: tile element 16k + j is the weight of output 16 g0 + j at input feature F w + k.
  template <uint32_t K>
  SYCL_ESIMD_FUNCTION static void loadArrangedTile(const params& p, uint32_t g0, uint32_t w,
                                                   uint32_t, simd<fp16, K / 4>& tile) {
    constexpr uint32_t F = K / 64;
    constexpr uint32_t kWeightBlockBytes = K * 16 * sizeof(fp16);
    constexpr uint32_t kTileBytes = F * 16 * sizeof(fp16);
    const uint32_t tileOffset = kWeightBlockBytes * g0 + kTileBytes * w;
    for (uint32_t i = 0; i < F / 8; ++i)
      tile.template bit_cast_view<uint32_t>().template select<64, 1>(64 * i) =
          loadWords<64, cache_hint::uncached, cache_hint::uncached>(p.weight, tileOffset + 256 * i);
  }

  // Row-major: slice j (features 128 (a + 11 j) ..) of output `row` in elements 128 j .. 128 j +
  // 127; `whole` slices of 128, then the partial one when `tail`.
  template <uint32_t K, int MaxSlices>
  SYCL_ESIMD_FUNCTION static void loadRowMajorSlices(const params& p, uint32_t row, uint32_t a,
                                                     uint32_t, int whole, bool tail, uint32_t,
                                                     simd<fp16, 128 * MaxSlices>& wts) {
    constexpr uint32_t kTail = K % 128;
    constexpr uint32_t kSliceBytes = 128 * sizeof(fp16);
    constexpr uint32_t kSliceStride = 11 * kSliceBytes;
    const uint32_t weightOffset = row * K * sizeof(fp16) + kSliceBytes * a;
    for (int j = 0; j < whole; ++j)
      wts.template bit_cast_view<uint32_t>().template select<64, 1>(64 * j) =
          loadWords<64, cache_hint::cached, cache_hint::uncached>(p.weight,
                                                                  weightOffset + kSliceStride * j);
    if constexpr (kTail != 0)
      if (tail)
        wts.template bit_cast_view<uint32_t>().template select<kTail / 2, 1>(64 * whole) =
            loadWordsSplit<kTail / 2, cache_hint::cached, cache_hint::uncached>(
                p.weight, weightOffset + kSliceStride * whole);
  }
};

// Words 32-bit words at base + byteOffset copied to SLM at slmOffset by a work-group of `items`
// work-items, each word read once: work-item `item` copies the 256-byte chunks item, item +
// items, ..., and the work-item next in turn after the last whole chunk copies the remaining words.
template <uint32_t Words>
SYCL_ESIMD_FUNCTION inline void stageWords(const uint8_t* base, uint32_t byteOffset,
                                           uint32_t slmOffset, uint32_t item, uint32_t items) {
  constexpr uint32_t kChunks = Words / 64;
  constexpr uint32_t kRest = Words % 64;
  for (uint32_t c = item; c < kChunks; c += items)
    esimd::slm_block_store<uint32_t, 64>(slmOffset + 256 * c,
                                         loadWords<64>(base, byteOffset + 256 * c));
  if constexpr (kRest != 0)
    if (item == kChunks % items)
      esimd::slm_block_store<uint32_t, kRest>(
          slmOffset + 256 * kChunks, loadWordsSplit<kRest>(base, byteOffset + 256 * kChunks));
}

template <uint32_t Bits>
struct packed_weights {
  static_assert(Bits == 4 || Bits == 8, "4- or 8-bit codes");
  using params = linear_packed_params;
  static constexpr uint32_t kSmallestGroup = 32;
  static constexpr float kSymmetricZero = float(1u << (Bits - 1));

  // Staged scales of `outputs` output features at the smallest group size, in bytes; the zeros
  // follow at the next multiple of 16 bytes.
  static constexpr uint32_t scaleBytes(uint32_t K, uint32_t outputs) {
    return (outputs * (K / kSmallestGroup) * 2 + 15) / 16 * 16;
  }
  static constexpr uint32_t arrangedStageBytes(uint32_t K) { return 2 * scaleBytes(K, 16); }
  static constexpr uint32_t rowMajorStageBytes(uint32_t K) { return 2 * scaleBytes(K, 4); }

  // The scales and zeros of work-group `group`, i.e. of output features Outputs group ..
  // Outputs group + Outputs - 1, which lie together in both layouts, into SLM at slmBase: scales,
  // then zeros at slmBase + scaleBytes(K, Outputs). Followed by a barrier.
  template <uint32_t K, uint32_t Outputs>
  SYCL_ESIMD_FUNCTION static void stageScalesZeros(const params& p, uint32_t group,
                                                   uint32_t slmBase, uint32_t item,
                                                   uint32_t items) {
    auto stage = [&](auto groupSize) {
      constexpr uint32_t G = decltype(groupSize)::value;
      if constexpr (K % G == 0) {
        constexpr uint32_t kWords = Outputs * (K / G) / 2;
        stageWords<kWords>(p.scales, 4 * kWords * group, slmBase, item, items);
        if (p.zeros != nullptr)
          stageWords<kWords>(p.zeros, 4 * kWords * group, slmBase + scaleBytes(K, Outputs), item,
                             items);
      }
    };
    if (p.group_size == 32)
      stage(std::integral_constant<uint32_t, 32>());
    else if (p.group_size == 64)
      stage(std::integral_constant<uint32_t, 64>());
    else
      stage(std::integral_constant<uint32_t, 128>());
    esimd::barrier();
  }

  // 16 codes from 2 b consecutive bytes, as float (at 4 bits the low nibble first).
  SYCL_ESIMD_FUNCTION static simd<float, 16> codes16(simd<uint8_t, 2 * Bits> bytes) {
    if constexpr (Bits == 8) {
      return bytes;
    } else {
      simd<uint8_t, 16> codes;
      codes.template select<8, 2>(0) = bytes & 15;
      codes.template select<8, 2>(1) = bytes >> 4;
      return codes;
    }
  }

  // Arranged: the F x 16 codes of input features F w .. F w + F - 1 of block g0 (8 F or 16 F
  // contiguous bytes), dequantized row by row with the scales and zeros of the feature's group.
  template <uint32_t K>
  SYCL_ESIMD_FUNCTION static void loadArrangedTile(const params& p, uint32_t g0, uint32_t w,
                                                   uint32_t slmBase, simd<fp16, K / 4>& tile) {
    constexpr uint32_t F = K / 64;
    constexpr uint32_t kTileWords = F * Bits / 2;
    constexpr uint32_t kBlockBytes = K * 2 * Bits;
    constexpr uint32_t kRest = kTileWords % 64;
    const uint32_t tileOffset = kBlockBytes * g0 + 4 * kTileWords * w;
    simd<uint32_t, kTileWords> words;
    for (uint32_t i = 0; i < kTileWords / 64; ++i)
      words.template select<64, 1>(64 * i) =
          loadWords<64, cache_hint::uncached, cache_hint::uncached>(p.qweight,
                                                                    tileOffset + 256 * i);
    if constexpr (kRest != 0)
      words.template select<kRest, 1>(kTileWords - kRest) =
          loadWordsSplit<kRest, cache_hint::uncached, cache_hint::uncached>(
              p.qweight, tileOffset + 4 * (kTileWords - kRest));
    stageScalesZeros<K, 16>(p, g0, slmBase, w, 64);

    // Staged element 16 j + o: group j of output 16 g0 + o.
    const uint32_t zerosBase = slmBase + scaleBytes(K, 16);
    auto bytes = words.template bit_cast_view<uint8_t>();
    simd<float, 16> s, z;
    for (uint32_t k = 0; k < F; ++k) {
      const uint32_t feature = F * w + k;
      if (k == 0 || feature % p.group_size == 0) {
        const uint32_t j = feature / p.group_size;
        s = esimd::slm_block_load<fp16, 16>(slmBase + 32 * j);
        z = p.zeros != nullptr
                ? simd<float, 16>(esimd::slm_block_load<int16_t, 16>(zerosBase + 32 * j))
                : simd<float, 16>(kSymmetricZero);
      }
      tile.template select<16, 1>(16 * k) =
          (codes16(bytes.template select<2 * Bits, 1>(2 * Bits * k).read()) - z) * s;
    }
  }

  // Row-major: the codes of slices a + 11 j of output `row` (16 b bytes each, the partial one
  // K % 128 codes), dequantized chunk by chunk of 16 features (a chunk lies in one group).
  template <uint32_t K, int MaxSlices>
  SYCL_ESIMD_FUNCTION static void loadRowMajorSlices(const params& p, uint32_t row, uint32_t a,
                                                     uint32_t b, int whole, bool tail,
                                                     uint32_t slmBase,
                                                     simd<fp16, 128 * MaxSlices>& wts) {
    constexpr uint32_t kTail = K % 128;
    constexpr uint32_t kSliceWords = 4 * Bits;
    constexpr uint32_t kSliceStride = 11 * 4 * kSliceWords;
    const uint32_t codeOffset = row * (K * Bits / 8) + 4 * kSliceWords * a;
    simd<uint32_t, kSliceWords * MaxSlices> words;
    for (int j = 0; j < whole; ++j)
      words.template select<kSliceWords, 1>(kSliceWords * j) =
          loadWords<kSliceWords, cache_hint::cached, cache_hint::uncached>(
              p.qweight, codeOffset + kSliceStride * j);
    if constexpr (kTail != 0)
      if (tail)
        words.template select<kTail * Bits / 32, 1>(kSliceWords * whole) =
            loadWordsSplit<kTail * Bits / 32, cache_hint::cached, cache_hint::uncached>(
                p.qweight, codeOffset + kSliceStride * whole);
    stageScalesZeros<K, 4>(p, row / 4, slmBase, 4 * a + b, 44);

    // Staged element (K/g) f + j: group j of output 4 (row / 4) + f.
    const uint32_t groups = K / p.group_size;
    const uint32_t scaleBase = slmBase + 2 * groups * b;
    const uint32_t zeroBase = scaleBase + scaleBytes(K, 4);
    auto bytes = words.template bit_cast_view<uint8_t>();
    const int slices = whole + (tail ? 1 : 0);
    for (int j = 0; j < slices; ++j) {
      const int chunks = j < whole ? 8 : int(kTail / 16);
      for (int q = 0; q < chunks; ++q) {
        const uint32_t group = (128 * (a + 11 * j) + 16 * q) / p.group_size;
        const float s = esimd::slm_scalar_load<fp16>(scaleBase + 2 * group);
        const float z = p.zeros != nullptr
                            ? float(esimd::slm_scalar_load<int16_t>(zeroBase + 2 * group))
                            : kSymmetricZero;
        wts.template select<16, 1>(128 * j + 16 * q) =
            (codes16(bytes.template select<2 * Bits, 1>(16 * Bits * j + 2 * Bits * q).read()) - z) *
            s;
      }
    }
  }
};

}  // namespace vantrel::kernels
