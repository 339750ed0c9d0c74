// Block loads of any whole number of 32-bit words, split into the block sizes a transfer takes:
// the linear kernels' input slices (arranged family) and partial weight slices (row-major family).
// Torch-free.
#pragma once

#include <cstdint>

#include "vantrel/kernels/esimd_common.hpp"

namespace vantrel::kernels {

// The largest block size (in 32-bit words) a block transfer takes that is at most `words`.
constexpr int largestBlockWords(int words) {
  constexpr int kSizes[] = {64, 32, 16, 8, 4, 3, 2, 1};
  for (int n : kSizes)
    if (n <= words) return n;
  return 0;
}

// N consecutive 32-bit words at base + byteOffset, in blocks of the largest valid sizes in
// decreasing order (40 words: 32 + 8).
template <int N, cache_hint L1 = cache_hint::cached, cache_hint L3 = cache_hint::cached>
SYCL_ESIMD_FUNCTION inline simd<uint32_t, N> loadWordsSplit(const uint8_t* base,
                                                            uint32_t byteOffset) {
  constexpr int kHead = largestBlockWords(N);
  if constexpr (kHead == N) {
    return loadWords<N, L1, L3>(base, byteOffset);
  } else {
    simd<uint32_t, N> words;
    words.template select<kHead, 1>(0) = loadWords<kHead, L1, L3>(base, byteOffset);
    words.template select<N - kHead, 1>(kHead) =
        loadWordsSplit<N - kHead, L1, L3>(base, byteOffset + 4 * kHead);
    return words;
  }
}

}  // namespace vantrel::kernels
