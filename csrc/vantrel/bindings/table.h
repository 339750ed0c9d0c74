// The table of what the kernels serve, as the Python package sees it.
#pragma once

#include <pybind11/pybind11.h>

namespace vantrel::bindings {

// Adds to `m` the table (LINEAR_MAX_ROWS, linear_layout, linear_widths, linear_kernel,
// arrange_weights, SDP_HEAD_SIZES, SDP_MAX_GROUP, sdp_kernel, sdp_score_scale,
// add_rms_norm_kernel, rotary_cache_kernel, silu_mul_kernel, kernel_table), all read from
// vantrel/kernels/catalog.hpp.
void bind_table(pybind11::module_& m);

}  // namespace vantrel::bindings
