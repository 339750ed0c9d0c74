// Launchers of the linear kernels (torch-free): the entry points, the arranged widths'
// instantiations (one per width) and unit 0 of the row-major ones (unit 1 is in
// linear_launch_row_major.cpp).
#include "vantrel/kernels/linear_launch.hpp"

#include <stdexcept>
#include <string>

#include "vantrel/kernels/launch.hpp"
#include "vantrel/kernels/linear_arranged.hpp"
#include "vantrel/kernels/linear_submit.hpp"

namespace vantrel::kernels {
namespace {

namespace names = ::kernel_names;

// The K-wide arranged kernel, submitted under the name `Name`.
template <uint32_t K, typename Name>
sycl::event submit_arranged(sycl::queue& queue, const linear_params& params) {
  const sycl::range<2> global(((params.N + 15) >> 4) * 64, (params.M + 127) >> 7);
  const sycl::range<2> local(64, 1);
  return submit_kernel<Name>(
      queue, sycl::nd_range<2>(global, local),
      [params](sycl::nd_item<2> item) { gemmCommonDimFp16V0<K>(params, item); });
}

}  // namespace

void unserved_width(const char* launcher, uint32_t K) {
  throw std::invalid_argument(std::string(launcher) + ": no kernel for K = " + std::to_string(K));
}

sycl::event launch_linear_arranged(sycl::queue& queue, const linear_params& params, uint32_t K) {
  switch (K) {
#define VANTREL_ARRANGED_CASE(W) \
  case W:                        \
    return submit_arranged<W, names::gemmCommonDim##W##Fp16V0<fp16>>(queue, params);
    VANTREL_ARRANGED_WIDTHS(VANTREL_ARRANGED_CASE)
#undef VANTREL_ARRANGED_CASE
    default:
      unserved_width("launch_linear_arranged", K);
  }
}

template sycl::event launch_row_major_unit<0>(sycl::queue&, const linear_params&, uint32_t);

sycl::event launch_linear_row_major(sycl::queue& queue, const linear_params& params, uint32_t K) {
  static_assert(kRowMajorUnits == 2, "one call per unit below");
  switch (row_major_unit(K)) {
    case 0:
      return launch_row_major_unit<0>(queue, params, K);
    case 1:
      return launch_row_major_unit<1>(queue, params, K);
    default:
      unserved_width("launch_linear_row_major", K);
  }
}

}  // namespace vantrel::kernels
