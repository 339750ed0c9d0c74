// The decoding step's fused operators on the XPU: add_rms_norm (residual add and RMSNorm). The
// ATen side: every input check, in one place per operator and a fixed order, the output, the
// launch, and the shape-only meta version. The kernel lives in kernels/add_rms_norm.hpp.
#include <ATen/ATen.h>
#include <ATen/record_function.h>
#include <c10/util/Exception.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "vantrel/kernels/fused_launch.hpp"
#include "vantrel/ops/launch_on_device.h"
#include "vantrel/ops/ops.h"

namespace vantrel::ops {
namespace {
// Apart from sdp.cpp's helpers, which share this unit in the unity build.
namespace fused_checks {

using kernels::kFusedChunk;
constexpr uint64_t kFourGiB = uint64_t(1) << 32;

bool aligned4(const at::Tensor& t) {
  return reinterpret_cast<uintptr_t>(t.data_ptr()) % 4 == 0;
}

// Bytes from the data pointer of a 2-D tensor of rows of contiguous elements to the end of its
// last row.
uint64_t row_span_bytes(const at::Tensor& t) {
  if (t.numel() == 0) return 0;
  const uint64_t rows = uint64_t(t.size(0)), stride = uint64_t(t.stride(0));
  return ((rows - 1) * stride + uint64_t(t.size(1))) * t.element_size();
}

uint64_t span_bytes(const at::Tensor& t) {
  return t.dim() == 2 && t.stride(1) == 1 ? row_span_bytes(t)
                                          : uint64_t(t.numel()) * t.element_size();
}

// Whether the byte ranges two tensors reach from their data pointers meet (a written tensor
// against another operand; both checked for their layout before).
bool overlap(const at::Tensor& a, const at::Tensor& b) {
  const auto a0 = reinterpret_cast<uintptr_t>(a.data_ptr());
  const auto b0 = reinterpret_cast<uintptr_t>(b.data_ptr());
  const uint64_t a_bytes = span_bytes(a), b_bytes = span_bytes(b);
  return a_bytes != 0 && b_bytes != 0 && a0 < b0 + b_bytes && b0 < a0 + a_bytes;
}

// Rows of `t` (2-D) are contiguous and do not overlap: unit stride along dimension 1, rows at
// least size(1) apart (any stride for a single row).
bool separate_rows(const at::Tensor& t) {
  return t.stride(1) == 1 && (t.size(0) <= 1 || t.stride(0) >= t.size(1));
}

// Rows of a 2-D half tensor start 4-byte aligned: the data pointer and an even row stride.
bool rows_aligned4(const at::Tensor& t) {
  return aligned4(t) && (t.size(0) <= 1 || t.stride(0) % 2 == 0);
}

void check_not_negated(const at::Tensor& t, const char* name) {
  TORCH_CHECK(!t.is_neg(), name,
              " must not be a lazily negated view (torch._neg_view): it is written in place");
}

// ---- add_rms_norm -------------------------------------------------------------------------------

// Everything the kernel relies on, before anything is allocated or submitted; returns float(eps).
float check_add_rms_norm(const at::Tensor& residual, const c10::optional<at::Tensor>& delta,
                         const at::Tensor& weight, double eps) {
  TORCH_CHECK(residual.scalar_type() == at::kFloat, "residual must be Float (float32), got ",
              residual.scalar_type());
  TORCH_CHECK(residual.dim() == 2, "residual must be 2-D [M, H], got ", residual.dim(),
              " dimensions");
  TORCH_CHECK(residual.is_contiguous(), "residual must be contiguous");
  const int64_t M = residual.size(0), H = residual.size(1);
  TORCH_CHECK(kernels::chunked_size(H, kernels::kNormMaxWidth),
              "residual must have H (size of dimension 1) a multiple of ", kFusedChunk, " from ",
              kFusedChunk, " to ", kernels::kNormMaxWidth, ", got H = ", H);
  if (delta) check_not_negated(residual, "residual");
  TORCH_CHECK(weight.scalar_type() == at::kFloat, "weight must be Float (float32), got ",
              weight.scalar_type());
  TORCH_CHECK(weight.dim() == 1 && weight.size(0) == H, "weight must be [", H,
              "] (H of residual), got ", weight.sizes());
  TORCH_CHECK(weight.is_contiguous(), "weight must be contiguous");
  if (delta) {
    const at::Tensor& d = *delta;
    TORCH_CHECK(d.scalar_type() == at::kHalf, "delta must be Half, got ", d.scalar_type());
    TORCH_CHECK(d.sizes() == residual.sizes(), "delta must be [M, H] = ", residual.sizes(),
                " like residual, got ", d.sizes());
    TORCH_CHECK(separate_rows(d), "delta rows must be ", H,
                " contiguous elements (stride 1 along dimension 1) at least ", H,
                " elements apart, got strides ", d.strides());
  }
  TORCH_CHECK(std::isfinite(eps) && eps >= 0 && eps <= std::numeric_limits<float>::max(),
              "eps must be a finite number >= 0, got ", eps);
  if (M == 0) return float(eps);
  TORCH_CHECK(uint64_t(residual.numel()) * 4 < kFourGiB,
              "residual must be smaller than 4 GiB (the kernel's byte offsets are 32-bit)");
  TORCH_CHECK(aligned4(residual), "residual data pointer must be 4-byte aligned");
  TORCH_CHECK(aligned4(weight), "weight data pointer must be 4-byte aligned");
  if (delta) {
    TORCH_CHECK(row_span_bytes(*delta) <= kFourGiB,
                "delta must span at most 4 GiB from its data pointer");
    TORCH_CHECK(rows_aligned4(*delta),
                "delta rows must be 4-byte aligned (data pointer, and an even row stride)");
    // residual is written while delta and weight are read.
    TORCH_CHECK(!overlap(residual, *delta), "delta must not overlap residual (written in place)");
    TORCH_CHECK(!overlap(residual, weight), "weight must not overlap residual (written in place)");
  }
  return float(eps);
}

const uint8_t* bytes(const at::Tensor& t) {
  return static_cast<const uint8_t*>(t.data_ptr());
}
uint8_t* writable_bytes(const at::Tensor& t) {
  return static_cast<uint8_t*>(t.data_ptr());
}

}  // namespace fused_checks
}  // namespace

at::Tensor add_rms_norm(const at::Tensor& residual, const c10::optional<at::Tensor>& delta,
                        const at::Tensor& weight, double eps) {
  using namespace fused_checks;
  TORCH_CHECK(on_xpu(residual), "residual must be a XPU tensor");
  TORCH_CHECK(!delta || on_xpu(*delta), "delta must be a XPU tensor");
  TORCH_CHECK(on_xpu(weight), "weight must be a XPU tensor");
  RECORD_FUNCTION(
      "ferrow_add_rms_norm_forward",
      std::vector<c10::IValue>({residual, delta ? c10::IValue(*delta) : c10::IValue(), weight}));
  const float eps32 = check_add_rms_norm(residual, delta, weight, eps);
  at::Tensor out = at::empty(residual.sizes(), residual.options().dtype(at::kHalf));
  if (residual.size(0) == 0) return out;
  // Copies made for negation bits are freed once the kernel has run (frees wait for launches).
  const at::Tensor r = negation_applied(residual);  // read only when negated: no delta
  const at::Tensor w = negation_applied(weight);
  const at::Tensor d = delta ? negation_applied(*delta) : at::Tensor();
  const kernels::add_rms_norm_params params{writable_bytes(r),
                                            delta ? bytes(d) : nullptr,
                                            bytes(w),
                                            writable_bytes(out),
                                            uint32_t(residual.size(0)),
                                            uint32_t(residual.size(1)),
                                            delta ? uint32_t(d.stride(0)) : 0,
                                            eps32};
  launch_on_device(residual.device(),
                   [&](sycl::queue& queue) { return kernels::launch_add_rms_norm(queue, params); });
  return out;
}

at::Tensor add_rms_norm_meta(const at::Tensor& residual, const c10::optional<at::Tensor>& /*delta*/,
                             const at::Tensor& /*weight*/, double /*eps*/) {
  TORCH_CHECK(residual.dim() == 2, "residual must be 2-D [M, H], got ", residual.dim(),
              " dimensions");
  return at::empty(residual.sizes(), residual.options().dtype(at::kHalf));
}

}  // namespace vantrel::ops
