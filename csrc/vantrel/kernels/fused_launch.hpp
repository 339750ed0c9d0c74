// Launchers of the decoding step's fused kernels and their parameters (torch-free): the residual
// add with RMSNorm. The sizes each serves are in catalog.hpp.
//
// The caller checks the operands first (ops/fused.cpp does for the operators): sizes the catalog
// lists, every row 4-byte aligned, every byte offset below 2^32, work-item counts below 2^31, and
// no written tensor overlapping another operand.
#pragma once

#include <cstdint>
#include <sycl/sycl.hpp>

#include "vantrel/kernels/catalog.hpp"

namespace vantrel::kernels {

// ---- add_rms_norm -------------------------------------------------------------------------------

// residual += float(delta) (when delta is given), then out = half((residual * r) * weight) with
// r = 1 / sqrt(sum(residual^2) / H + eps) per row. One work-group serves every row, so that the
// weight is read once.
struct add_rms_norm_params {
  uint8_t* residual;      // float32 [M][H], contiguous, 4-byte aligned; updated when delta is given
  const uint8_t* delta;   // binary16 rows of H at element m * delta_stride, or null: no add
  const uint8_t* weight;  // float32 [H]
  uint8_t* out;           // binary16 [M][H], contiguous; every element is written
  uint32_t rows;          // M, at least 1
  uint32_t hidden;        // H: a multiple of 16 up to kNormMaxWidth (addRmsNormDimAny reads it)
  uint32_t delta_stride;  // elements between delta rows, even
  float eps;              // added to the mean square
};

// Most work-items of the work-group, and the SLM slots its partial sums meet in (zeros beyond the
// work-items).
inline constexpr uint32_t kNormMaxItems = 64;

// How a row of H = 16 n elements is split: work-item a holds chunks a c .. a c + c - 1 of 16
// elements (the last one fewer when c does not divide n), c = ceil(n / 64), over ceil(n / c)
// work-items.
struct norm_split {
  uint32_t chunks;  // c, chunks per work-item (the last may hold fewer)
  uint32_t items;   // work-items
};

constexpr norm_split norm_split_of(uint32_t H) {
  const uint32_t n = H / uint32_t(kFusedChunk);
  const uint32_t c = (n + kNormMaxItems - 1) / kNormMaxItems;
  return {c, (n + c - 1) / c};
}

// Submits addRmsNormDim{H} (H listed in VANTREL_NORM_WIDTHS) or addRmsNormDimAny for `params` and
// returns its event without waiting. Throws std::invalid_argument for H without a kernel or no
// rows.
sycl::event launch_add_rms_norm(sycl::queue& queue, const add_rms_norm_params& params);

}  // namespace vantrel::kernels
