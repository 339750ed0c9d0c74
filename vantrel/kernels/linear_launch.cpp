// Launchers of the linear kernels (torch-free): one kernel name and one instantiation per width.
#include "kernels/linear_launch.hpp"

#include <stdexcept>
#include <string>

#include "kernels/launch.hpp"
#include "kernels/linear_arranged.hpp"
#include "kernels/linear_row_major.hpp"

// Names the launch log and the profiler show, one per width.
namespace kernel_names {
template <typename T>
class gemmCommonDim4096Fp16V0;
template <typename T>
class gemmCommonDim5120Fp16V0;
template <typename T>
class gemmCommonDim8192Fp16V0;
template <typename T>
class gemmCommonDim11008Fp16NoReshape;
template <typename T>
class gemmCommonDim13824Fp16NoReshape;
template <typename T>
class gemmCommonDim14336Fp16NoReshape;
template <typename T>
class gemmCommonDim28672Fp16NoReshape;
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
  static_assert(kArrangedWidths.size() == 3 && kArrangedWidths[0] == 4096 &&
                    kArrangedWidths[1] == 5120 && kArrangedWidths[2] == 8192,
                "one case per arranged width");
  switch (K) {
    case 4096:
      return submit_arranged<4096, names::gemmCommonDim4096Fp16V0<fp16>>(queue, params);
    case 5120:
      return submit_arranged<5120, names::gemmCommonDim5120Fp16V0<fp16>>(queue, params);
    case 8192:
      return submit_arranged<8192, names::gemmCommonDim8192Fp16V0<fp16>>(queue, params);
    default:
      unserved_width("launch_linear_arranged", K);
  }
}

sycl::event launch_linear_row_major(sycl::queue& queue, const linear_params& params, uint32_t K) {
  static_assert(kRowMajorWidths.size() == 4 && kRowMajorWidths[0] == 11008 &&
                    kRowMajorWidths[1] == 13824 && kRowMajorWidths[2] == 14336 &&
                    kRowMajorWidths[3] == 28672,
                "one case per row-major width");
  switch (K) {
    case 11008:
      return submit_row_major<11008, names::gemmCommonDim11008Fp16NoReshape<fp16>>(queue, params);
    case 13824:
      return submit_row_major<13824, names::gemmCommonDim13824Fp16NoReshape<fp16>>(queue, params);
    case 14336:
      return submit_row_major<14336, names::gemmCommonDim14336Fp16NoReshape<fp16>>(queue, params);
    case 28672:
      return submit_row_major<28672, names::gemmCommonDim28672Fp16NoReshape<fp16>>(queue, params);
    default:
      unserved_width("launch_linear_row_major", K);
  }
}

}  // namespace vantrel::kernels
