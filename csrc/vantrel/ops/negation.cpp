// Lazy negation (torch._neg_view) resolved for the kernels, which read raw data.
#include "vantrel/ops/ops.h"

namespace vantrel::ops {

// The values a kernel must read for `t`: `t` itself, or with a pending negation bit the same view
// (sizes, strides) over a negated copy of the storage span it covers, as PyTorch's own kernels see
// it. Zero strides stay zero: a huge broadcast view costs only its span.
at::Tensor negation_applied(const at::Tensor& t) {
  if (!t.is_neg() || t.numel() == 0) return t;
  int64_t span = 1;
  for (int64_t d = 0; d < t.dim(); ++d) span += (t.size(d) - 1) * t.stride(d);
  const at::Tensor negated = t.as_strided({span}, {1}, t.storage_offset()).resolve_neg();
  return negated.as_strided(t.sizes(), t.strides(), 0);
}

}  // namespace vantrel::ops
