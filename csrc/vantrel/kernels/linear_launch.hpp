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

}  // namespace vantrel::kernels
