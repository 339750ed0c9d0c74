// One decoding step of scaled-dot-product attention on the XPU: the ATen side (every input check,
// output allocation, launch). The kernels live in kernels/sdp_fp16.hpp and kernels/sdp_fp32.hpp;
// the launcher picks one by element type, kv_len and whether key/value heads are shared by several
// query heads (k and v with H_kv heads, H_kv dividing the H of q).
#include <ATen/ATen.h>
#include <ATen/record_function.h>
#include <c10/util/Exception.h>

#include <cstdint>
#include <string>

#include "vantrel/kernels/sdp_launch.hpp"
#include "vantrel/ops/launch_on_device.h"
#include "vantrel/ops/ops.h"

namespace vantrel::ops {
namespace {

using kernels::kSdpMaxGroupHeads;
constexpr uint64_t kFourGiB = uint64_t(1) << 32;

// The head sizes with kernels as text: "64 or 128".
const std::string& head_sizes_text() {
  static const std::string text = [] {
    std::string s;
    const auto& sizes = kernels::kSdpHeadSizes;
    for (size_t i = 0; i < sizes.size(); ++i)
      s += (i == 0 ? "" : i + 1 == sizes.size() ? " or " : ", ") + std::to_string(sizes[i]);
    return s;
  }();
  return text;
}

bool head_size_listed(int64_t D) {
  return kernels::listed(kernels::kSdpHeadSizes, D);
}

void check_q_rank(const at::Tensor& q) {
  TORCH_CHECK(q.dim() == 4, "q must be 4-D [B, H, 1, D] with D = ", head_sizes_text(), ", got ",
              q.dim(), " dimensions");
}

// Whether two same-sized tensors have the same strides, ignoring dimensions of size 1.
bool same_layout(const at::Tensor& a, const at::Tensor& b) {
  for (int64_t d = 0; d < a.dim(); ++d)
    if (a.size(d) > 1 && a.stride(d) != b.stride(d)) return false;
  return true;
}

bool aligned4(const at::Tensor& t) {
  return reinterpret_cast<uintptr_t>(t.data_ptr()) % 4 == 0;
}

// Highest byte reached by the rows 0 .. kv_len-1 of every (b, h) of a [B, H_kv, kv_len, D] tensor
// whose rows are D contiguous elements, plus one.
uint64_t row_span_bytes(const at::Tensor& t) {
  uint64_t elements = uint64_t(t.size(2)) * uint64_t(t.size(3));
  if (t.size(0) > 1) elements += uint64_t(t.size(0) - 1) * uint64_t(t.stride(0));
  if (t.size(1) > 1) elements += uint64_t(t.size(1) - 1) * uint64_t(t.stride(1));
  return elements * t.element_size();
}

// Rejects every input the kernels cannot serve, before anything is allocated or submitted (the
// head size D of q has kernels: sdp_xpu_forward checks it first).
void check_sdp_inputs(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v) {
  check_q_rank(q);
  const auto dtype = q.scalar_type();
  TORCH_CHECK(dtype == at::kHalf || dtype == at::kFloat, "q must be Half or Float, got ", dtype);
  TORCH_CHECK(q.is_contiguous(), "q must be contiguous");
  const int64_t B = q.size(0);
  const int64_t H = q.size(1);
  const int64_t D = q.size(3);
  TORCH_CHECK(k.dim() == 4 && k.size(0) == B && k.size(3) == D,
              "k must be [B, H_kv, kv_len, D] with B = ", B, " and D = ", D, " of q, got ",
              k.sizes());
  // Query head h reads key/value head h / G, G = H / H_kv.
  const int64_t H_kv = k.size(1);
  TORCH_CHECK(H_kv == 0 ? H == 0 : H % H_kv == 0, "q and k: H = ", H,
              " of q must be a multiple of H_kv = ", H_kv, " of k");
  TORCH_CHECK(H_kv == 0 || uint64_t(H / H_kv) <= kSdpMaxGroupHeads, "q and k: H = ", H,
              " of q must be at most ", kSdpMaxGroupHeads, " times H_kv = ", H_kv,
              " of k (a key/value head serves at most ", kSdpMaxGroupHeads, " query heads)");
  TORCH_CHECK(k.scalar_type() == dtype, "k must have the element type of q (", dtype, "), got ",
              k.scalar_type());
  TORCH_CHECK(v.sizes() == k.sizes(), "v must have the sizes of k ", k.sizes(), ", got ",
              v.sizes());
  TORCH_CHECK(v.scalar_type() == dtype, "v must have the element type of q (", dtype, "), got ",
              v.scalar_type());
  const int64_t kv_len = k.size(2);
  TORCH_CHECK(kv_len >= 1, "kv_len (k.size(2)) must be at least 1");
  TORCH_CHECK(k.stride(3) == 1 && (kv_len == 1 || k.stride(2) == D), "k rows must be ", D,
              " contiguous elements (stride ", D,
              " along dimension 2 and 1 along dimension 3), got strides ", k.strides());
  if (dtype == at::kHalf) {
    TORCH_CHECK(same_layout(k, v), "v must be laid out like k (same strides), got ", v.strides(),
                " and ", k.strides());
  } else {
    TORCH_CHECK(k.is_contiguous(), "k must be contiguous for Float");
    TORCH_CHECK(v.is_contiguous(), "v must be contiguous for Float");
  }
  // The output's extents are 32-bit, and the kernels form 32-bit byte offsets from each base
  // pointer (v spans what k spans: same sizes, and same strides or both contiguous).
  TORCH_CHECK(B < (int64_t(1) << 31) && H * D < (int64_t(1) << 31), "q must have B < 2^31 and H * ",
              D, " < 2^31");
  // The launch's work-items, kv_len per key/value head (one per key) or 64 (blocks of keys), are
  // counted in 32 bits.
  const bool per_key = dtype == at::kHalf && kernels::sdp_fp16_item_per_key(kv_len);
  const uint64_t items = kernels::sdp_work_items(B, H_kv, kv_len, per_key);
  const char* heads = H_kv == H ? "H" : "H_kv";
  TORCH_CHECK(items < (uint64_t(1) << 31), "q and k must have B * ", heads, " * ",
              per_key ? "kv_len" : "64", " < 2^31 (work-items of one launch, ",
              per_key ? "one per key" : "64 per head", "), got B = ", B, ", ", heads, " = ", H_kv,
              ", kv_len = ", kv_len);
  TORCH_CHECK(uint64_t(q.numel()) * q.element_size() <= kFourGiB, "q must be at most 4 GiB");
  TORCH_CHECK(row_span_bytes(k) <= kFourGiB, "k must span at most 4 GiB from its data pointer");
  // Every global transfer is a block of 32-bit words: with rows of D (even) elements, even strides
  // keep every row of a 4-byte aligned tensor 4-byte aligned.
  static_assert(
      [] {
        for (auto size : kernels::kSdpHeadSizes)
          if (size % 2 != 0) return false;
        return true;
      }(),
      "head sizes are even");
  TORCH_CHECK(aligned4(q), "q data pointer must be 4-byte aligned");
  const bool even_strides = (B == 1 || k.stride(0) % 2 == 0) && (H_kv == 1 || k.stride(1) % 2 == 0);
  TORCH_CHECK(aligned4(k) && even_strides,
              "k rows must be 4-byte aligned (data pointer, and even strides along dimensions 0 "
              "and 1)");
  TORCH_CHECK(aligned4(v), "v data pointer must be 4-byte aligned");
}

at::Tensor sdp_xpu_forward(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v) {
  // A q of fewer than four dimensions is reported by check_sdp_inputs instead of failing in a size
  // accessor.
  const bool q4 = q.dim() >= 4;
  TORCH_CHECK(!q4 || q.size(2) == 1, "q_len must be 1 for this kernel impl");
  TORCH_CHECK(!q4 || head_size_listed(q.size(3)), "hidden dim must be ", head_sizes_text(),
              " for this kernel impl");
  check_sdp_inputs(q, k, v);
  const int64_t B = q.size(0);
  const int64_t H = q.size(1);
  const int64_t D = q.size(3);
  auto output =
      at::empty({B, H * D}, at::TensorOptions().dtype(q.scalar_type()).device(q.device()));
  if (B == 0 || H == 0) return output;  // nothing to compute: no launch
  const at::Tensor qn = negation_applied(q);
  const at::Tensor kn = negation_applied(k);
  const at::Tensor vn = negation_applied(v);
  const auto* q_bytes = static_cast<const uint8_t*>(qn.data_ptr());
  const auto* k_bytes = static_cast<const uint8_t*>(kn.data_ptr());
  const auto* v_bytes = static_cast<const uint8_t*>(vn.data_ptr());
  auto* out_bytes = static_cast<uint8_t*>(output.data_ptr());
  const uint64_t batch = uint64_t(B), heads = uint64_t(H);
  const uint64_t kv_heads = uint64_t(k.size(1)), kv_len = uint64_t(k.size(2));
  if (q.scalar_type() == at::kHalf) {
    const uint64_t stride0 = uint64_t(kn.stride(0)), stride1 = uint64_t(kn.stride(1));
    const kernels::sdp_fp16_params params{q_bytes, k_bytes,  v_bytes, out_bytes, batch,
                                          heads,   kv_heads, kv_len,  stride0,   stride1};
    launch_on_device(
        q.device(), [&](sycl::queue& queue) { return kernels::launch_sdp_fp16(queue, params, D); });
  } else {
    const kernels::sdp_fp32_params params{q_bytes, k_bytes, v_bytes,  out_bytes,
                                          batch,   heads,   kv_heads, kv_len};
    launch_on_device(
        q.device(), [&](sycl::queue& queue) { return kernels::launch_sdp_fp32(queue, params, D); });
  }
  return output;
}

}  // namespace

at::Tensor sdp_forward(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v) {
  TORCH_CHECK(on_xpu(q), "q must be a XPU tensor");
  TORCH_CHECK(on_xpu(k), "k must be a XPU tensor");
  TORCH_CHECK(on_xpu(v), "v must be a XPU tensor");
  RECORD_FUNCTION("ferrow_sdp_fp16_forward", std::vector<c10::IValue>({q, k, v}));
  return sdp_xpu_forward(q, k, v);
}

at::Tensor sdp_forward_meta(const at::Tensor& q, const at::Tensor& /*k*/, const at::Tensor& /*v*/) {
  check_q_rank(q);
  return at::empty({q.size(0), q.size(1) * q.size(3)}, q.options());
}

}  // namespace vantrel::ops
