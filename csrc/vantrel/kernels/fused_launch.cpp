// Launchers of add_rms_norm and silu_mul (torch-free). add_rms_norm: one instantiation per listed
// hidden size (its register tiles sized for it), one reading H at run time for the others.
// silu_mul: one body, submitted under the name of its size. rotary_cache's are in
// rotary_launch.cpp.
#include "vantrel/kernels/fused_launch.hpp"

#include <stdexcept>
#include <string>

#include "vantrel/kernels/add_rms_norm.hpp"
#include "vantrel/kernels/launch.hpp"
#include "vantrel/kernels/silu_mul.hpp"

namespace vantrel::kernels {

// Names the launch log and the profiler show: one per listed size, and one for every other size.
namespace kernel_names {
#define VANTREL_NORM_NAME(H) class addRmsNormDim##H;
#define VANTREL_GATED_NAME(I) class siluMulDim##I;
VANTREL_NORM_WIDTHS(VANTREL_NORM_NAME)
VANTREL_GATED_WIDTHS(VANTREL_GATED_NAME)
#undef VANTREL_NORM_NAME
#undef VANTREL_GATED_NAME
class addRmsNormDimAny;
class siluMulDimAny;
}  // namespace kernel_names

sycl::event launch_add_rms_norm(sycl::queue& queue, const add_rms_norm_params& p) {
  if (!chunked_size(p.hidden, kNormMaxWidth) || p.rows == 0)
    throw std::invalid_argument("launch_add_rms_norm: no kernel for H = " +
                                std::to_string(p.hidden) + " and M = " + std::to_string(p.rows));
  // One work-group serves every row.
  const uint32_t items = norm_split_of(p.hidden).items;
  const sycl::nd_range<2> range(sycl::range<2>(items, 1), sycl::range<2>(items, 1));
  switch (p.hidden) {
#define VANTREL_NORM_CASE(H)                              \
  case H:                                                 \
    return submit_kernel<kernel_names::addRmsNormDim##H>( \
        queue, range, [p](sycl::nd_item<2> item) { addRmsNorm<H>(p, item); });
    VANTREL_NORM_WIDTHS(VANTREL_NORM_CASE)
#undef VANTREL_NORM_CASE
  }
  return submit_kernel<kernel_names::addRmsNormDimAny>(
      queue, range, [p](sycl::nd_item<2> item) { addRmsNorm<0>(p, item); });
}

sycl::event launch_silu_mul(sycl::queue& queue, const silu_mul_params& p) {
  if (!chunked_size(p.width, kGatedMaxWidth) || p.rows == 0)
    throw std::invalid_argument("launch_silu_mul: no kernel for I = " + std::to_string(p.width) +
                                " and M = " + std::to_string(p.rows));
  // Work-items (tile, row) in groups of kGatedGroupTiles tiles of a row.
  const sycl::nd_range<2> range(sycl::range<2>(silu_mul_row_items(p.width), p.rows),
                                sycl::range<2>(kGatedGroupTiles, 1));
  const auto body = [p](sycl::nd_item<2> item) { siluMul(p, item); };
  switch (p.width) {
#define VANTREL_GATED_CASE(I) \
  case I:                     \
    return submit_kernel<kernel_names::siluMulDim##I>(queue, range, body);
    VANTREL_GATED_WIDTHS(VANTREL_GATED_CASE)
#undef VANTREL_GATED_CASE
  }
  return submit_kernel<kernel_names::siluMulDimAny>(queue, range, body);
}

}  // namespace vantrel::kernels
