// What the linear launcher units share (torch-free): one kernel name per width, generated from the
// width lists of catalog.hpp, and the row-major launcher. Its instantiations, one per width, are
// split over two translation units that the build compiles in parallel: unit 0 in
// linear_launch.cpp (beside the arranged widths and the entry points), unit 1 in
// linear_launch_row_major.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sycl/sycl.hpp>

#include "vantrel/kernels/catalog.hpp"
#include "vantrel/kernels/launch.hpp"
#include "vantrel/kernels/linear_params.hpp"
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

// Translation units sharing the row-major instantiations: width i of the list goes to unit i % 2.
inline constexpr int kRowMajorUnits = 2;

constexpr int row_major_unit(uint32_t K) {
  for (std::size_t i = 0; i < kRowMajorWidths.size(); ++i)
    if (int64_t(kRowMajorWidths[i]) == int64_t(K)) return static_cast<int>(i % kRowMajorUnits);
  return -1;
}

[[noreturn]] void unserved_width(const char* launcher, uint32_t K);

// Submits gemmCommonDim{K}Fp16NoReshape for a width K of unit `Unit` (row_major_unit(K) == Unit);
// throws std::invalid_argument for any other K.
template <int Unit>
sycl::event launch_row_major_unit(sycl::queue& queue, const linear_params& params, uint32_t K) {
  static_assert(Unit >= 0 && Unit < kRowMajorUnits, "a unit of the split");
  const sycl::range<2> global(((params.N + 3) >> 2) * 11, 4);
  const sycl::range<2> local(11, 4);
  const sycl::nd_range<2> range(global, local);
  switch (K) {
#define VANTREL_ROW_MAJOR_CASE(W)                                                            \
  case W:                                                                                    \
    if constexpr (row_major_unit(W) == Unit)                                                 \
      return submit_kernel<kernel_names::gemmCommonDim##W##Fp16NoReshape<fp16>>(             \
          queue, range,                                                                      \
          [params](sycl::nd_item<2> item) { gemmCommonDimFp16NoReshape<W>(params, item); }); \
    break;
    VANTREL_ROW_MAJOR_WIDTHS(VANTREL_ROW_MAJOR_CASE)
#undef VANTREL_ROW_MAJOR_CASE
  }
  unserved_width("launch_linear_row_major", K);
}

extern template sycl::event launch_row_major_unit<0>(sycl::queue&, const linear_params&, uint32_t);
extern template sycl::event launch_row_major_unit<1>(sycl::queue&, const linear_params&, uint32_t);

}  // namespace vantrel::kernels
