// What the linear launcher units share (torch-free): one kernel name per width (and per bits and
// group size for packed weights), generated from the lists of catalog.hpp, and the row-major
// launchers. Their instantiations are split over translation units that the build compiles in
// parallel: binary16 unit 0 in linear_launch.cpp (beside the arranged widths and the entry points),
// unit 1 in linear_launch_row_major.cpp; packed unit 0 in linear_launch_packed.cpp (beside the
// packed arranged widths), units 1 and 2 in linear_launch_packed_row_major{1,2}.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
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
// Packed kernels: one name per width, bits and group size.
#define VANTREL_PACKED_ARRANGED_NAME(K, B, GS) \
  template <typename T>                        \
  class gemmCommonDim##K##Int##B##G##GS##V0;
#define VANTREL_PACKED_ROW_MAJOR_NAME(K, B, GS) \
  template <typename T>                         \
  class gemmCommonDim##K##Int##B##G##GS##NoReshape;
#define VANTREL_PACKED_ARRANGED_NAMES(K) VANTREL_QUANT_FORMATS(VANTREL_PACKED_ARRANGED_NAME, K)
#define VANTREL_PACKED_ROW_MAJOR_NAMES(K) VANTREL_QUANT_FORMATS(VANTREL_PACKED_ROW_MAJOR_NAME, K)
VANTREL_ARRANGED_WIDTHS(VANTREL_PACKED_ARRANGED_NAMES)
VANTREL_ROW_MAJOR_WIDTHS(VANTREL_PACKED_ROW_MAJOR_NAMES)
#undef VANTREL_PACKED_ARRANGED_NAMES
#undef VANTREL_PACKED_ROW_MAJOR_NAMES
#undef VANTREL_PACKED_ARRANGED_NAME
#undef VANTREL_PACKED_ROW_MAJOR_NAME
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

// Translation units sharing the packed row-major instantiations (two bodies per width, one per
// bits): width i of the list goes to unit i % 3.
inline constexpr int kPackedRowMajorUnits = 3;

constexpr int packed_row_major_unit(uint32_t K) {
  for (std::size_t i = 0; i < kRowMajorWidths.size(); ++i)
    if (int64_t(kRowMajorWidths[i]) == int64_t(K))
      return static_cast<int>(i % kPackedRowMajorUnits);
  return -1;
}

// Submits `body` under the name of its group size (names G32, G64, G128 in this order); throws
// std::invalid_argument for a group size not dividing K.
template <uint32_t K, typename Name32, typename Name64, typename Name128, typename Body>
sycl::event submit_packed(sycl::queue& queue, const sycl::nd_range<2>& range, uint32_t groupSize,
                          const Body& body) {
  if (groupSize != 0 && K % groupSize == 0) {
    if (groupSize == 32) return submit_kernel<Name32>(queue, range, body);
    if (groupSize == 64) return submit_kernel<Name64>(queue, range, body);
    if (groupSize == 128) return submit_kernel<Name128>(queue, range, body);
  }
  throw std::invalid_argument("no packed kernel for K = " + std::to_string(K) +
                              " with group size " + std::to_string(groupSize));
}

// Submits gemmCommonDim{K}Int{bits}G{g}NoReshape for a width K of unit `Unit`
// (packed_row_major_unit(K) == Unit); one body per width and bits serves the three group sizes.
// Throws std::invalid_argument for any other K, bits or group size.
template <int Unit>
sycl::event launch_packed_row_major_unit(sycl::queue& queue, const linear_packed_params& params,
                                         uint32_t K, uint32_t bits) {
  static_assert(Unit >= 0 && Unit < kPackedRowMajorUnits, "a unit of the split");
  const sycl::range<2> global(((params.N + 3) >> 2) * 11, 4);
  const sycl::range<2> local(11, 4);
  const sycl::nd_range<2> range(global, local);
  namespace names = ::kernel_names;
  switch (K) {
#define VANTREL_PACKED_ROW_MAJOR_BITS(W, B)                                      \
  if (bits == B)                                                                 \
    return submit_packed<W, names::gemmCommonDim##W##Int##B##G32NoReshape<fp16>, \
                         names::gemmCommonDim##W##Int##B##G64NoReshape<fp16>,    \
                         names::gemmCommonDim##W##Int##B##G128NoReshape<fp16>>(  \
        queue, range, params.group_size, [params](sycl::nd_item<2> item) {       \
          gemmCommonDimFp16NoReshape<W, packed_weights<B>>(params, item);        \
        });
#define VANTREL_PACKED_ROW_MAJOR_CASE(W)              \
  case W:                                             \
    if constexpr (packed_row_major_unit(W) == Unit) { \
      VANTREL_PACKED_ROW_MAJOR_BITS(W, 4)             \
      VANTREL_PACKED_ROW_MAJOR_BITS(W, 8)             \
    }                                                 \
    break;
    VANTREL_ROW_MAJOR_WIDTHS(VANTREL_PACKED_ROW_MAJOR_CASE)
#undef VANTREL_PACKED_ROW_MAJOR_CASE
#undef VANTREL_PACKED_ROW_MAJOR_BITS
  }
  unserved_width("launch_linear_packed_row_major", K);
}

extern template sycl::event launch_packed_row_major_unit<0>(sycl::queue&,
                                                            const linear_packed_params&, uint32_t,
                                                            uint32_t);
extern template sycl::event launch_packed_row_major_unit<1>(sycl::queue&,
                                                            const linear_packed_params&, uint32_t,
                                                            uint32_t);
extern template sycl::event launch_packed_row_major_unit<2>(sycl::queue&,
                                                            const linear_packed_params&, uint32_t,
                                                            uint32_t);

extern template sycl::event launch_row_major_unit<0>(sycl::queue&, const linear_params&, uint32_t);
extern template sycl::event launch_row_major_unit<1>(sycl::queue&, const linear_params&, uint32_t);

}  // namespace vantrel::kernels
