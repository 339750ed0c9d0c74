// The row-major launcher's instantiations of unit 1 (see linear_submit.hpp); unit 0 is in
// linear_launch.cpp.
#include "vantrel/kernels/linear_submit.hpp"

namespace vantrel::kernels {
template sycl::event launch_row_major_unit<1>(sycl::queue&, const linear_params&, uint32_t);
}  // namespace vantrel::kernels
