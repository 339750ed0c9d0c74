// Launchers of the packed linear kernels (torch-free): the entry points, the arranged widths'
// instantiations (one body per width and bits, named per group size) and unit 0 of the row-major
// ones (units 1 and 2 are in linear_launch_packed_row_major{1,2}.cpp).
#include <cstdint>

#include "vantrel/kernels/launch.hpp"
#include "vantrel/kernels/linear_arranged.hpp"
#include "vantrel/kernels/linear_launch.hpp"
#include "vantrel/kernels/linear_submit.hpp"

namespace vantrel::kernels {

sycl::event launch_linear_packed_arranged(sycl::queue& queue, const linear_packed_params& params,
                                          uint32_t K, uint32_t bits) {
  const sycl::range<2> global(((params.N + 15) >> 4) * 64, (params.M + 127) >> 7);
  const sycl::range<2> local(64, 1);
  const sycl::nd_range<2> range(global, local);
  namespace names = ::kernel_names;
  switch (K) {
#define VANTREL_PACKED_ARRANGED_BITS(W, B)                                 \
  if (bits == B)                                                           \
    return submit_packed<W, names::gemmCommonDim##W##Int##B##G32V0<fp16>,  \
                         names::gemmCommonDim##W##Int##B##G64V0<fp16>,     \
                         names::gemmCommonDim##W##Int##B##G128V0<fp16>>(   \
        queue, range, params.group_size, [params](sycl::nd_item<2> item) { \
          gemmCommonDimFp16V0<W, packed_weights<B>>(params, item);         \
        });
#define VANTREL_PACKED_ARRANGED_CASE(W) \
  case W:                               \
    VANTREL_PACKED_ARRANGED_BITS(W, 4)  \
    VANTREL_PACKED_ARRANGED_BITS(W, 8)  \
    break;
    VANTREL_ARRANGED_WIDTHS(VANTREL_PACKED_ARRANGED_CASE)
#undef VANTREL_PACKED_ARRANGED_CASE
#undef VANTREL_PACKED_ARRANGED_BITS
  }
  unserved_width("launch_linear_packed_arranged", K);
}

template sycl::event launch_packed_row_major_unit<0>(sycl::queue&, const linear_packed_params&,
                                                     uint32_t, uint32_t);

sycl::event launch_linear_packed_row_major(sycl::queue& queue, const linear_packed_params& params,
                                           uint32_t K, uint32_t bits) {
  static_assert(kPackedRowMajorUnits == 3, "one call per unit below");
  switch (packed_row_major_unit(K)) {
    case 0:
      return launch_packed_row_major_unit<0>(queue, params, K, bits);
    case 1:
      return launch_packed_row_major_unit<1>(queue, params, K, bits);
    case 2:
      return launch_packed_row_major_unit<2>(queue, params, K, bits);
    default:
      unserved_width("launch_linear_packed_row_major", K);
  }
}

}  // namespace vantrel::kernels
