// Attention decoding step: placeholder until the kernels land.
#include <c10/util/Exception.h>

#include "xpu_ops.h"

at::Tensor sdp_xpu_forward(const at::Tensor&, const at::Tensor&, const at::Tensor&) {
  TORCH_CHECK(false, "not implemented");
}
