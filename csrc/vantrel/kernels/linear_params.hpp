// Arguments of the linear kernels (output = input x weights^T in binary16), captured by value.
#pragma once

#include <cstdint>

namespace vantrel::kernels {

struct linear_params {
  // binary16 weights, 4-byte aligned, smaller than 4 GiB (32-bit byte offsets): blocks of 16
  // output features [ceil(N/16)][K][16] for the arranged family, rows [N][K] for the row-major one.
  const uint8_t* weight;
  const uint8_t* input;  // binary16 input rows [M][K], row-major, 4-byte aligned
  uint8_t* output;       // binary16 output rows [M][N], row-major; every element is written
  int M;                 // input rows, at least 1 (the operator passes at most 8)
  uint32_t N;            // output features: a multiple of 16 (arranged) or of 4 (row-major)
};

// Arguments of the linear kernels on packed b-bit weights (b = 4 or 8, the kernel's), captured by
// value. Weight (n, k) is (q - z) s with q its code and s, z the scale and zero of its group of
// `group_size` consecutive input features. Every pointer is 4-byte aligned; every tensor is
// smaller than 4 GiB (32-bit byte offsets).
struct linear_packed_params {
  // Codes in the width's layout: arranged [ceil(N/16)][K][16 b/8] bytes, code (n, k) at byte
  // ((n / 16) K + k) 16 b/8 + (n % 16) b/8; row-major [N][K b/8], code (n, k) at n K b/8 + k b/8.
  // At 4 bits the low nibble holds the even index of the last dimension.
  const uint8_t* qweight;
  // binary16 scales, one per (output, group): arranged [N/16][K/g][16], row-major [N][K/g].
  const uint8_t* scales;
  const uint8_t* zeros;  // int16 zeros laid out as the scales, or null: every zero is 2^(b-1)
  const uint8_t* input;  // binary16 input rows [M][K], row-major
  uint8_t* output;       // binary16 output rows [M][N], row-major; every element is written
  int M;                 // input rows, at least 1 (the operator passes at most 8)
  uint32_t N;            // output features: a multiple of 16 (arranged) or of 4 (row-major)
  uint32_t group_size;   // g: 32, 64 or 128, dividing K
};

}  // namespace vantrel::kernels
