// The packed row-major launcher's instantiations of unit 1 (see linear_submit.hpp).
#include "vantrel/kernels/linear_submit.hpp"

namespace vantrel::kernels {
template sycl::event launch_packed_row_major_unit<1>(sycl::queue&, const linear_packed_params&,
                                                     uint32_t, uint32_t);
}  // namespace vantrel::kernels
