// Host models of the linear kernels' order of operations. sycl::half arithmetic on the host
// computes in float and rounds once to binary16, so every add and multiply below is rounded on
// its own, as on the device.
#pragma once

#include <sycl/sycl.hpp>
#include <vector>

namespace linear_models {

using fp16 = sycl::half;

// One output of the arranged family: work-item v sums features F v .. F v + F - 1 (F = K / 64)
// in order; the partial sums P_v meet as
// [(P0 + P2 + .. + P30) + (P1 + .. + P31)] + [(P32 + .. + P62) + (P33 + .. + P63)].
inline fp16 arranged_dot(const fp16* x, const fp16* w, int K) {
  const int F = K / 64;
  fp16 p[64];
  for (int v = 0; v < 64; ++v) {
    p[v] = fp16(0.0f);
    for (int k = F * v; k < F * v + F; ++k) p[v] = p[v] + w[k] * x[k];
  }
  auto fold = [&](int first) {
    fp16 even = p[first], odd = p[first + 1];
    for (int i = 1; i < 16; ++i) {
      even = even + p[first + 2 * i];
      odd = odd + p[first + 2 * i + 1];
    }
    return even + odd;
  };
  return fold(0) + fold(32);
}

// One output of the row-major family: K features in ceil(K / 128) slices of 128, the last one
// partial when 128 does not divide K. Lane l of work-item a sums features 128 s + 16 q + l over its
// slices s = a, a + 11, .. below ceil(K / 128) and chunks q = 0..7 with 128 s + 16 q < K; a lane
// tree (8, 4, 2, 1) folds the lanes to P_a; with P_11 = 0, S_s = (P_s + P_s+4) + P_s+8 and the
// output is (S0 + S2) + (S1 + S3).
inline fp16 row_major_dot(const fp16* x, const fp16* w, int K) {
  fp16 p[12];
  for (int a = 0; a < 11; ++a) {
    fp16 lane[16];
    for (fp16& l : lane) l = fp16(0.0f);
    for (int s = a; 128 * s < K; s += 11)
      for (int q = 0; q < 8 && 128 * s + 16 * q < K; ++q)
        for (int l = 0; l < 16; ++l) {
          const int k = 128 * s + 16 * q + l;
          lane[l] = lane[l] + w[k] * x[k];
        }
    for (int width = 8; width >= 2; width /= 2)
      for (int l = 0; l < width; ++l) lane[l] = lane[l] + lane[l + width];
    p[a] = lane[0] + lane[1];
  }
  p[11] = fp16(0.0f);
  fp16 s[4];
  for (int i = 0; i < 4; ++i) s[i] = (p[i] + p[i + 4]) + p[i + 8];
  return (s[0] + s[2]) + (s[1] + s[3]);
}

// y [M][N] = x [M][K] . w^T for row-major w [N][K], each output by `dot`.
template <typename Dot>
std::vector<fp16> linear(const std::vector<fp16>& x, const std::vector<fp16>& w, int M, int N,
                         int K, Dot dot) {
  std::vector<fp16> y(static_cast<size_t>(M) * N);
  for (int m = 0; m < M; ++m)
    for (int n = 0; n < N; ++n)
      y[static_cast<size_t>(m) * N + n] =
          dot(&x[static_cast<size_t>(m) * K], &w[static_cast<size_t>(n) * K], K);
  return y;
}

}  // namespace linear_models
