// Launchers of the linear kernels and the layer widths they serve. Torch-free: callers pass the
// queue and have checked the operands (layout and N, sizes under 4 GiB, 4-byte aligned starts).
#pragma once

#include <array>
#include <cstdint>
#include <sycl/sycl.hpp>

#include "kernels/linear_params.hpp"

namespace vantrel::kernels {

// Widths K with a kernel on weights arranged in blocks of 16 output features, [ceil(N/16)][K][16].
inline constexpr std::array<uint32_t, 3> kArrangedWidths = {4096, 5120, 8192};
// Widths K with a kernel on row-major weights [N][K].
inline constexpr std::array<uint32_t, 4> kRowMajorWidths = {11008, 13824, 14336, 28672};

constexpr bool is_arranged_width(int64_t K) {
  for (uint32_t w : kArrangedWidths)
    if (K == w) return true;
  return false;
}

constexpr bool is_row_major_width(int64_t K) {
  for (uint32_t w : kRowMajorWidths)
    if (K == w) return true;
  return false;
}

// Submits gemmCommonDim{K}Fp16V0 for `params` (weights arranged) and returns its event without
// waiting. Throws std::invalid_argument if K is not one of kArrangedWidths.
sycl::event launch_linear_arranged(sycl::queue& queue, const linear_params& params, uint32_t K);

// Submits gemmCommonDim{K}Fp16NoReshape for `params` (weights row-major) and returns its event
// without waiting. Throws std::invalid_argument if K is not one of kRowMajorWidths.
sycl::event launch_linear_row_major(sycl::queue& queue, const linear_params& params, uint32_t K);

}  // namespace vantrel::kernels
