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

}  // namespace vantrel::kernels
