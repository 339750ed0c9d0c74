// Launcher of rotary_cache (torch-free): one instantiation per head size.
#include <stdexcept>
#include <string>

#include "vantrel/kernels/fused_launch.hpp"
#include "vantrel/kernels/launch.hpp"
#include "vantrel/kernels/rotary_cache.hpp"

namespace vantrel::kernels {

namespace kernel_names {
#define VANTREL_ROTARY_NAME(D) class rotaryCacheDim##D;
VANTREL_ROTARY_HEAD_SIZES(VANTREL_ROTARY_NAME)
#undef VANTREL_ROTARY_NAME
}  // namespace kernel_names

sycl::event launch_rotary_cache(sycl::queue& queue, const rotary_cache_params& p,
                                int64_t head_size) {
  if (p.batch == 0 || p.positions == 0 || p.heads == 0 || p.kv_heads == 0)
    throw std::invalid_argument("launch_rotary_cache: B, C, H and H_kv must be at least 1");
  // A work-group per new position.
  const uint32_t items = rotary_items(p.batch, p.heads, p.kv_heads);
  const sycl::nd_range<2> range(sycl::range<2>(items, p.positions), sycl::range<2>(items, 1));
  switch (head_size) {
#define VANTREL_ROTARY_CASE(D)                             \
  case D:                                                  \
    return submit_kernel<kernel_names::rotaryCacheDim##D>( \
        queue, range, [p](sycl::nd_item<2> item) { rotaryCache<D>(p, item); });
    VANTREL_ROTARY_HEAD_SIZES(VANTREL_ROTARY_CASE)
#undef VANTREL_ROTARY_CASE
  }
  throw std::invalid_argument("launch_rotary_cache: no kernel for head size " +
                              std::to_string(head_size));
}

}  // namespace vantrel::kernels
