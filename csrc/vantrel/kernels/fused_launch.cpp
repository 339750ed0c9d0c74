// Launcher of add_rms_norm (torch-free): one instantiation per listed hidden size (its register
// tiles sized for it), one reading H at run time for the others. rotary_cache's is in
// rotary_launch.cpp.
#include "vantrel/kernels/fused_launch.hpp"

#include <stdexcept>
#include <string>

#include "vantrel/kernels/add_rms_norm.hpp"
#include "vantrel/kernels/launch.hpp"

namespace vantrel::kernels {

// Names the launch log and the profiler show: one per listed size, and one for every other size.
namespace kernel_names {
#define VANTREL_NORM_NAME(H) class addRmsNormDim##H;
VANTREL_NORM_WIDTHS(VANTREL_NORM_NAME)
#undef VANTREL_NORM_NAME
class addRmsNormDimAny;
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

}  // namespace vantrel::kernels
