// Device-side helpers shared by the kernel bodies: block transfers of 32-bit words (whole blocks,
// or runs of 16-element chunks) and lane folds.
// Torch-free: kernel headers include this and the platform's SYCL/ESIMD headers only.
//
// Naming across the kernel headers: device functions (kernel bodies and their helpers) camelCase
// with their fixed size in the name where they have one; host functions and parameter structs
// snake_case (`<family>_params`, `launch_<family>`); `esimd` and `esimdx` for the ESIMD and
// experimental ESIMD namespaces.
#pragma once

#include <cstdint>
#include <sycl/ext/intel/esimd.hpp>
#include <sycl/ext/intel/experimental/esimd.hpp>
#include <sycl/sycl.hpp>

namespace vantrel::kernels {

namespace esimd = sycl::ext::intel::esimd;
namespace esimdx = sycl::ext::intel::experimental::esimd;
using esimd::cache_hint;
using esimd::simd;
using fp16 = sycl::half;

// N 32-bit words at base + byteOffset (4-byte aligned) in one block load with the given hints.
template <int N, cache_hint L1 = cache_hint::cached, cache_hint L3 = cache_hint::cached>
SYCL_ESIMD_FUNCTION inline simd<uint32_t, N> loadWords(const uint8_t* base, uint32_t byteOffset) {
  return esimdx::lsc_block_load<uint32_t, N, esimdx::lsc_data_size::default_size, L1, L3>(
      reinterpret_cast<const uint32_t*>(base + byteOffset));
}

// N 32-bit words to base + byteOffset (4-byte aligned) in one write-back block store.
template <int N>
SYCL_ESIMD_FUNCTION inline void storeWords(uint8_t* base, uint32_t byteOffset,
                                           simd<uint32_t, N> words) {
  esimdx::lsc_block_store<uint32_t, N, esimdx::lsc_data_size::default_size,
                          cache_hint::write_back, cache_hint::write_back>(
      reinterpret_cast<uint32_t*>(base + byteOffset), words);
}

// Chunks 0 .. chunks-1 of 16 elements of T of `dst` from base + byteOffset (4-byte aligned), in
// block loads of 64 words while whole ones remain, then one chunk at a time. Chunks past N / 16
// are not touched.
template <typename T, int N>
SYCL_ESIMD_FUNCTION inline void loadChunks(simd<T, N>& dst, const uint8_t* base,
                                           uint32_t byteOffset, uint32_t chunks) {
  constexpr int kWords = 16 * int(sizeof(T)) / 4;  // per chunk
  constexpr int kBlock = 64 / kWords;              // chunks per block load of 64 words
  static_assert(N % 16 == 0 && kWords * kBlock == 64, "loadChunks: chunks of 16 floats or halves");
  constexpr uint32_t kChunks = N / 16;  // bounds the loops for the compiler too
  uint32_t q = 0;
  if constexpr (kChunks >= kBlock)
    for (; q + kBlock <= kChunks && q + kBlock <= chunks; q += kBlock)
      dst.template bit_cast_view<uint32_t>().template select<64, 1>(kWords * q) =
          loadWords<64>(base, byteOffset + 4 * kWords * q);
  for (; q < kChunks && q < chunks; ++q)
    dst.template bit_cast_view<uint32_t>().template select<kWords, 1>(kWords * q) =
        loadWords<kWords>(base, byteOffset + 4 * kWords * q);
}

// Chunks 0 .. chunks-1 of 16 elements of `src` to base + byteOffset, in blocks as loadChunks.
template <typename T, int N>
SYCL_ESIMD_FUNCTION inline void storeChunks(uint8_t* base, uint32_t byteOffset, simd<T, N>& src,
                                            uint32_t chunks) {
  constexpr int kWords = 16 * int(sizeof(T)) / 4;
  constexpr int kBlock = 64 / kWords;
  static_assert(N % 16 == 0 && kWords * kBlock == 64, "storeChunks: chunks of 16 floats or halves");
  constexpr uint32_t kChunks = N / 16;  // bounds the loops for the compiler too
  uint32_t q = 0;
  if constexpr (kChunks >= kBlock)
    for (; q + kBlock <= kChunks && q + kBlock <= chunks; q += kBlock)
      storeWords<64>(
          base, byteOffset + 4 * kWords * q,
          src.template bit_cast_view<uint32_t>().template select<64, 1>(kWords * q).read());
  for (; q < kChunks && q < chunks; ++q)
    storeWords<kWords>(
        base, byteOffset + 4 * kWords * q,
        src.template bit_cast_view<uint32_t>().template select<kWords, 1>(kWords * q).read());
}

// Sums the lanes by halving: lanes [0, L/2) += lanes [L/2, L), down to one lane.
template <typename T, int L>
SYCL_ESIMD_FUNCTION inline T foldLanes(simd<T, L> x) {
  static_assert(L == 4 || L == 8 || L == 16, "foldLanes: 4, 8 or 16 lanes");
  if constexpr (L >= 16) x.template select<8, 1>(0) += x.template select<8, 1>(8);
  if constexpr (L >= 8) x.template select<4, 1>(0) += x.template select<4, 1>(4);
  x.template select<2, 1>(0) += x.template select<2, 1>(2);
  simd<T, 1> total = x.template select<1, 1>(0) + x.template select<1, 1>(1);
  return total[0];
}

}  // namespace vantrel::kernels
