// The decoding step's fused operators on the XPU: add_rms_norm (residual add and RMSNorm),
// rotary_cache (rotary embedding and the key/value cache writes) and silu_mul (SiLU gating). The
// ATen side: every input check, in one place per operator and a fixed order, the output, the
// launch, and the shape-only meta versions. The kernels live in kernels/add_rms_norm.hpp,
// kernels/rotary_cache.hpp and kernels/silu_mul.hpp.
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
              "eps must be a number from 0 to float32's largest (3.4028235e38), got ", eps);
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

// ---- rotary_cache -------------------------------------------------------------------------------

// Everything the kernel relies on; returns C, the new positions per sequence.
int64_t check_rotary_cache(const at::Tensor& qkv, const at::Tensor& cos, const at::Tensor& sin,
                           const at::Tensor& k_cache, const at::Tensor& v_cache, int64_t start,
                           int64_t heads, int64_t kv_heads) {
  TORCH_CHECK(k_cache.scalar_type() == at::kHalf, "k_cache must be Half, got ",
              k_cache.scalar_type());
  TORCH_CHECK(k_cache.dim() == 4, "k_cache must be 4-D [B, kv_heads, L, D], got ", k_cache.dim(),
              " dimensions");
  TORCH_CHECK(k_cache.is_contiguous(), "k_cache must be contiguous");
  const int64_t B = k_cache.size(0), L = k_cache.size(2), D = k_cache.size(3);
  TORCH_CHECK(kernels::listed(kernels::kRotaryHeadSizes, D),
              "k_cache must have head size D (size of dimension 3) a multiple of ", kFusedChunk,
              " from ", kFusedChunk, " to ", kernels::kRotaryMaxHeadSize, ", got D = ", D);
  TORCH_CHECK(kv_heads >= 1, "kv_heads must be at least 1, got ", kv_heads);
  TORCH_CHECK(heads >= 1 && heads % kv_heads == 0,
              "heads must be a positive multiple of kv_heads = ", kv_heads, ", got ", heads);
  TORCH_CHECK(k_cache.size(1) == kv_heads, "k_cache must have kv_heads = ", kv_heads,
              " heads (size of dimension 1), got ", k_cache.size(1));
  check_not_negated(k_cache, "k_cache");
  TORCH_CHECK(v_cache.scalar_type() == at::kHalf && v_cache.sizes() == k_cache.sizes(),
              "v_cache must be Half ", k_cache.sizes(), " like k_cache, got ",
              v_cache.scalar_type(), " ", v_cache.sizes());
  TORCH_CHECK(v_cache.is_contiguous(), "v_cache must be contiguous");
  check_not_negated(v_cache, "v_cache");
  TORCH_CHECK(qkv.scalar_type() == at::kHalf, "qkv must be Half, got ", qkv.scalar_type());
  TORCH_CHECK(qkv.dim() == 2, "qkv must be 2-D [B * C, (heads + 2 * kv_heads) * D], got ",
              qkv.dim(), " dimensions");
  // Without forming the product: heads may be any int.
  const int64_t head_columns = qkv.size(1) / D;
  TORCH_CHECK(heads <= head_columns && 2 * kv_heads <= head_columns - heads,
              "qkv must have at least (heads + 2 * kv_heads) * D columns with heads = ", heads,
              ", kv_heads = ", kv_heads, ", D = ", D, ", got ", qkv.size(1));
  TORCH_CHECK(separate_rows(qkv),
              "qkv rows must be contiguous elements (stride 1 along dimension 1) at least ",
              qkv.size(1), " elements apart, got strides ", qkv.strides());
  const int64_t rows = qkv.size(0);
  TORCH_CHECK(B == 0 ? rows == 0 : rows % B == 0, "qkv must have B * C rows, a multiple of B = ", B,
              " (k_cache.size(0)), got ", rows);
  const int64_t C = B == 0 ? 0 : rows / B;
  TORCH_CHECK(cos.scalar_type() == at::kFloat, "cos must be Float (float32), got ",
              cos.scalar_type());
  TORCH_CHECK(cos.dim() == 2 && cos.size(1) == D, "cos must be [P, ", D, "] (D of k_cache), got ",
              cos.sizes());
  TORCH_CHECK(cos.is_contiguous(), "cos must be contiguous");
  TORCH_CHECK(sin.scalar_type() == at::kFloat, "sin must be Float (float32), got ",
              sin.scalar_type());
  TORCH_CHECK(sin.sizes() == cos.sizes(), "sin must have the sizes of cos ", cos.sizes(), ", got ",
              sin.sizes());
  TORCH_CHECK(sin.is_contiguous(), "sin must be contiguous");
  TORCH_CHECK(start >= 0, "start must be at least 0, got ", start);
  TORCH_CHECK(start <= L - C, "start + C = ", start, " + ", C, " must be at most L = ", L,
              " (k_cache.size(2))");
  TORCH_CHECK(start <= cos.size(0) - C, "start + C = ", start, " + ", C,
              " must be at most P = ", cos.size(0), " (cos.size(0))");
  if (C == 0) return 0;
  // 32-bit byte offsets: the new positions' cos and sin rows lie within the tables.
  TORCH_CHECK(row_span_bytes(qkv) <= kFourGiB, "qkv must span at most 4 GiB from its data pointer");
  TORCH_CHECK(uint64_t(k_cache.numel()) * 2 <= kFourGiB,
              "k_cache must be at most 4 GiB (the kernel's byte offsets are 32-bit)");
  TORCH_CHECK(uint64_t(cos.numel()) * 4 <= kFourGiB,
              "cos must be at most 4 GiB (the kernel's byte offsets are 32-bit)");
  // q [B, heads, C, D] holds B C heads rows of D, fewer bytes than the qkv rows it comes from.
  TORCH_CHECK(rows_aligned4(qkv),
              "qkv rows must be 4-byte aligned (data pointer, and an even row stride)");
  TORCH_CHECK(aligned4(cos), "cos data pointer must be 4-byte aligned");
  TORCH_CHECK(aligned4(sin), "sin data pointer must be 4-byte aligned");
  TORCH_CHECK(aligned4(k_cache), "k_cache data pointer must be 4-byte aligned");
  TORCH_CHECK(aligned4(v_cache), "v_cache data pointer must be 4-byte aligned");
  // The caches are written while qkv, cos and sin are read.
  TORCH_CHECK(!overlap(k_cache, v_cache), "k_cache and v_cache must not overlap");
  for (const at::Tensor* cache : {&k_cache, &v_cache}) {
    const char* name = cache == &k_cache ? "k_cache" : "v_cache";
    TORCH_CHECK(!overlap(*cache, qkv), name, " must not overlap qkv");
    TORCH_CHECK(!overlap(*cache, cos), name, " must not overlap cos");
    TORCH_CHECK(!overlap(*cache, sin), name, " must not overlap sin");
  }
  return C;
}

// ---- silu_mul -----------------------------------------------------------------------------------

void check_silu_mul(const at::Tensor& gate_up, int64_t intermediate) {
  TORCH_CHECK(gate_up.scalar_type() == at::kHalf, "gate_up must be Half, got ",
              gate_up.scalar_type());
  TORCH_CHECK(gate_up.dim() == 2, "gate_up must be 2-D [M, 2 * intermediate], got ", gate_up.dim(),
              " dimensions");
  TORCH_CHECK(kernels::chunked_size(intermediate, kernels::kGatedMaxWidth),
              "intermediate must be a multiple of ", kFusedChunk, " from ", kFusedChunk, " to ",
              kernels::kGatedMaxWidth, ", got ", intermediate);
  TORCH_CHECK(gate_up.size(1) >= 2 * intermediate,
              "gate_up must have at least 2 * intermediate = ", 2 * intermediate, " columns, got ",
              gate_up.size(1));
  TORCH_CHECK(separate_rows(gate_up),
              "gate_up rows must be contiguous elements (stride 1 along dimension 1) at least ",
              gate_up.size(1), " elements apart, got strides ", gate_up.strides());
  if (gate_up.size(0) == 0) return;
  // Within 4 GiB a row of 2I >= 32 halves gives M < 2^26 rows of at most I / 128 + 8 work-items:
  // fewer than 2^31 per launch.
  TORCH_CHECK(row_span_bytes(gate_up) <= kFourGiB,
              "gate_up must span at most 4 GiB from its data pointer");
  TORCH_CHECK(rows_aligned4(gate_up),
              "gate_up rows must be 4-byte aligned (data pointer, and an even row stride)");
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

at::Tensor rotary_cache(const at::Tensor& qkv, const at::Tensor& cos, const at::Tensor& sin,
                        const at::Tensor& k_cache, const at::Tensor& v_cache, int64_t start,
                        int64_t heads, int64_t kv_heads) {
  using namespace fused_checks;
  TORCH_CHECK(on_xpu(qkv), "qkv must be a XPU tensor");
  TORCH_CHECK(on_xpu(cos), "cos must be a XPU tensor");
  TORCH_CHECK(on_xpu(sin), "sin must be a XPU tensor");
  TORCH_CHECK(on_xpu(k_cache), "k_cache must be a XPU tensor");
  TORCH_CHECK(on_xpu(v_cache), "v_cache must be a XPU tensor");
  RECORD_FUNCTION("ferrow_rotary_cache_forward",
                  std::vector<c10::IValue>({qkv, cos, sin, k_cache, v_cache}));
  const int64_t C = check_rotary_cache(qkv, cos, sin, k_cache, v_cache, start, heads, kv_heads);
  const int64_t B = k_cache.size(0), D = k_cache.size(3);
  at::Tensor q = at::empty({B, heads, C, D}, qkv.options());
  if (C == 0) return q;
  const at::Tensor x = negation_applied(qkv), c = negation_applied(cos), s = negation_applied(sin);
  const kernels::rotary_cache_params params{bytes(x),
                                            bytes(c),
                                            bytes(s),
                                            writable_bytes(q),
                                            writable_bytes(k_cache),
                                            writable_bytes(v_cache),
                                            uint32_t(B),
                                            uint32_t(C),
                                            uint32_t(heads),
                                            uint32_t(kv_heads),
                                            uint32_t(k_cache.size(2)),
                                            uint32_t(start),
                                            uint32_t(x.stride(0))};
  launch_on_device(qkv.device(), [&](sycl::queue& queue) {
    return kernels::launch_rotary_cache(queue, params, D);
  });
  return q;
}

at::Tensor rotary_cache_meta(const at::Tensor& qkv, const at::Tensor& /*cos*/,
                             const at::Tensor& /*sin*/, const at::Tensor& k_cache,
                             const at::Tensor& /*v_cache*/, int64_t /*start*/, int64_t heads,
                             int64_t /*kv_heads*/) {
  TORCH_CHECK(k_cache.dim() == 4, "k_cache must be 4-D [B, kv_heads, L, D], got ", k_cache.dim(),
              " dimensions");
  TORCH_CHECK(qkv.dim() == 2, "qkv must be 2-D [B * C, (heads + 2 * kv_heads) * D], got ",
              qkv.dim(), " dimensions");
  const int64_t B = k_cache.size(0);
  return at::empty({B, heads, B == 0 ? 0 : qkv.size(0) / B, k_cache.size(3)},
                   qkv.options().dtype(at::kHalf));
}

at::Tensor silu_mul(const at::Tensor& gate_up, int64_t intermediate) {
  using namespace fused_checks;
  TORCH_CHECK(on_xpu(gate_up), "gate_up must be a XPU tensor");
  RECORD_FUNCTION("ferrow_silu_mul_forward", std::vector<c10::IValue>({gate_up}));
  check_silu_mul(gate_up, intermediate);
  const int64_t M = gate_up.size(0);
  at::Tensor out = at::empty({M, intermediate}, gate_up.options());
  if (M == 0) return out;
  const at::Tensor g = negation_applied(gate_up);
  const kernels::silu_mul_params params{bytes(g), writable_bytes(out), uint32_t(M),
                                        uint32_t(intermediate), uint32_t(g.stride(0))};
  launch_on_device(gate_up.device(),
                   [&](sycl::queue& queue) { return kernels::launch_silu_mul(queue, params); });
  return out;
}

at::Tensor silu_mul_meta(const at::Tensor& gate_up, int64_t intermediate) {
  TORCH_CHECK(gate_up.dim() == 2, "gate_up must be 2-D [M, 2 * intermediate], got ", gate_up.dim(),
              " dimensions");
  return at::empty({gate_up.size(0), intermediate}, gate_up.options().dtype(at::kHalf));
}

}  // namespace vantrel::ops
