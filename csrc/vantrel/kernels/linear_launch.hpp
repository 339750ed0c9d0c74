// Launchers of the linear kernels. Torch-free: callers pass the queue and have checked the operands
// (layout and N, sizes under 4 GiB, 4-byte aligned starts). The widths each family serves are in
// catalog.hpp.
#pragma once

#include <cstdint>
#include <sycl/sycl.hpp>

#include "vantrel/kernels/catalog.hpp"
#include "vantrel/kernels/linear_params.hpp"

namespace vantrel::kernels {

// Submits gemmCommonDim{K}Fp16V0 for `params` (weights arranged in blocks of 16 outputs) and
// returns its event without waiting. Throws std::invalid_argument if K is not a blocked width.
sycl::event launch_linear_arranged(sycl::queue& queue, const linear_params& params, uint32_t K);

// Submits gemmCommonDim{K}Fp16NoReshape for `params` (weights row-major) and returns its event
// without waiting. Throws std::invalid_argument if K is not a row-major width.
sycl::event launch_linear_row_major(sycl::queue& queue, const linear_params& params, uint32_t K);

// Submits gemmCommonDim{K}Int{bits}G{g}V0 (codes arranged in blocks of 16 outputs) for `params`,
// g = params.group_size, and returns its event without waiting. Throws std::invalid_argument if K
// is not a blocked width, bits not 4 or 8, or g not one of 32, 64, 128 dividing K.
sycl::event launch_linear_packed_arranged(sycl::queue& queue, const linear_packed_params& params,
                                          uint32_t K, uint32_t bits);

// Submits gemmCommonDim{K}Int{bits}G{g}NoReshape (row-major codes) for `params`; throws as above
// if K is not a row-major width or the format has no kernel.
sycl::event launch_linear_packed_row_major(sycl::queue& queue, const linear_packed_params& params,
                                           uint32_t K, uint32_t bits);

}  // namespace vantrel::kernels
