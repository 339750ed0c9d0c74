// Launchers of the linear kernels (torch-free): one kernel name and one instantiation per width,
// both generated from the width lists of catalog.hpp.
#include "vantrel/kernels/linear_launch.hpp"

#include <stdexcept>
#include <string>

#include "vantrel/kernels/launch.hpp"
#include "vantrel/kernels/linear_arranged.hpp"
#include "vantrel/kernels/linear_row_major.hpp"

// Names the launch log and the profiler show, one per width (the width belongs in the name: the
// log drops template arguments).
namespace kernel_names {
#define VANTREL_ARRANGED_NAME(K) \
  template <typename T>          \
  class gemmCommonDim##K##Fp16V0;
#define VANTREL_ROW_MAJOR_NAME(K) \
  template <typename T>           \
  class gemmCommonDim##K##Fp16NoReshape;
VANTREL_ARRANGED_WIDTHS(VANTREL_ARRANGED_NAME)
VANTREL_ROW_MAJOR_WIDTHS(VANTREL_ROW_MAJOR_NAME)
#undef VANTREL_ARRANGED_NAME
#undef VANTREL_ROW_MAJOR_NAME
}  // namespace kernel_names

namespace vantrel::kernels {
namespace {

namespace names = ::kernel_names;

// The K-wide kernel of each family, submitted under the name `Name`.
template <uint32_t K, typename Name>
sycl::event submit_arranged(sycl::queue& queue, const linear_params& params) {
  const sycl::range<2> global(((params.N + 15) >> 4) * 64, (params.M + 127) >> 7);
  const sycl::range<2> local(64, 1);
  return submit_kernel<Name>(
      queue, sycl::nd_range<2>(global, local),
      [params](sycl::nd_item<2> item) { gemmCommonDimFp16V0<K>(params, item); });
}

template <uint32_t K, typename Name>
sycl::event submit_row_major(sycl::queue& queue, const linear_params& params) {
  const sycl::range<2> global(((params.N + 3) >> 2) * 11, 4);
  const sycl::range<2> local(11, 4);
  return submit_kernel<Name>(
      queue, sycl::nd_range<2>(global, local),
      [params](sycl::nd_item<2> item) { gemmCommonDimFp16NoReshape<K>(params, item); });
}

[[noreturn]] void unserved_width(const char* launcher, uint32_t K) {
  throw std::invalid_argument(std::string(launcher) + ": no kernel for K = " + std::to_string(K));
}

}  // namespace

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

sycl::event launch_linear_row_major(sycl::queue& queue, const linear_params& params, uint32_t K) {
  switch (K) {
#define VANTREL_ROW_MAJOR_CASE(W) \
  case W:                         \
    return submit_row_major<W, names::gemmCommonDim##W##Fp16NoReshape<fp16>>(queue, params);
    VANTREL_ROW_MAJOR_WIDTHS(VANTREL_ROW_MAJOR_CASE)
#undef VANTREL_ROW_MAJOR_CASE
    default:
      unserved_width("launch_linear_row_major", K);
  }
}

}  // namespace vantrel::kernels
