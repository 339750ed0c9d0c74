// Packed 4- and 8-bit weights: the quantizer, the dequantizer and the linear operator on them.
//
// The packed layout mirrors the half layout of the width K (vantrel/kernels/catalog.hpp), so that
// a kernel reading packed bytes visits codes in the half kernels' order:
//   row-major widths (and widths without a kernel): qweight uint8 [N, K*b/8], code (n, k) at byte
//     n*(K*b/8) + k*b/8; scales half [N, K/g] and zeros int16 [N, K/g] at (n, k / g).
//   arranged widths: qweight uint8 [N/16, K, 16*b/8], code (n, k) at byte
//     ((n / 16)*K + k)*(16*b/8) + (n % 16)*b/8; scales and zeros [N/16, K/g, 16] at
//     (n / 16, k / g, n % 16).
// At 4 bits the low nibble holds the even index of the packed dimension (k, or n % 16), the high
// nibble the odd one. Without zeros (symmetric codes) the zero is 2^(b-1). A weight is
// (q - z) * s computed in float32 (exact) and rounded to half once.
//
// Half inputs of 1 to 8 rows whose width has a kernel take the packed kernel of the width, bits and
// group size, which reads the packed bytes, scales and zeros itself and computes exactly what the
// half kernel computes on the dequantized weights. Every other call dequantizes on the device with
// ATen operations into the width's half layout and runs forward's path (linear_compute) on that;
// the results are the same either way.
#include <ATen/ATen.h>
#include <ATen/record_function.h>
#include <c10/util/Exception.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <tuple>
#include <vector>

#include "vantrel/kernels/catalog.hpp"
#include "vantrel/kernels/linear_launch.hpp"
#include "vantrel/ops/launch_on_device.h"
#include "vantrel/ops/ops.h"

namespace vantrel::ops {
namespace {

namespace vk = kernels;
constexpr int64_t kBlock = vk::kBlockOutputs;

bool is_arranged(int64_t K) {
  return vk::linear_layout(K) == vk::weight_layout::arranged;
}

void check_format(int64_t bits, int64_t group_size) {
  TORCH_CHECK(vk::listed(vk::kQuantBits, bits), "bits must be 4 or 8, got ", bits);
  TORCH_CHECK(vk::listed(vk::kQuantGroupSizes, group_size),
              "group_size must be 32, 64 or 128, got ", group_size);
}

void check_width(const char* tensor, int64_t K, int64_t group_size) {
  TORCH_CHECK(K % group_size == 0, tensor, " width K = ", K,
              " must be a multiple of group_size = ", group_size);
}

// The shapes of the layout of width K; returns N. `zeros` may be undefined (symmetric codes).
int64_t check_packed_shapes(const at::Tensor& qweight, const at::Tensor& scales,
                            const at::Tensor& zeros, int64_t bits, int64_t group_size, int64_t K) {
  const int64_t groups = K / group_size;
  int64_t N = 0;
  std::vector<int64_t> grid;
  if (is_arranged(K)) {
    const int64_t bytes = kBlock * bits / 8;
    TORCH_CHECK(qweight.dim() == 3 && qweight.size(1) == K && qweight.size(2) == bytes,
                "qweight must be [N/16, ", K, ", ", bytes, "] (", bits, "-bit codes of width ", K,
                " in blocks of 16 outputs), got ", qweight.sizes());
    N = qweight.size(0) * kBlock;
    grid = {qweight.size(0), groups, kBlock};
  } else {
    const int64_t bytes = K * bits / 8;
    TORCH_CHECK(qweight.dim() == 2 && qweight.size(1) == bytes, "qweight must be [N, ", bytes,
                "] (", bits, "-bit codes of width ", K, ", row-major), got ", qweight.sizes());
    N = qweight.size(0);
    grid = {N, groups};
  }
  TORCH_CHECK(scales.sizes() == at::IntArrayRef(grid), "scales must be ", at::IntArrayRef(grid),
              " (one per ", group_size, " input features), got ", scales.sizes());
  TORCH_CHECK(!zeros.defined() || zeros.sizes() == at::IntArrayRef(grid), "zeros must be ",
              at::IntArrayRef(grid), " (one per ", group_size, " input features), got ",
              zeros.sizes());
  return N;
}

void check_dtypes(const at::Tensor& qweight, const at::Tensor& scales, const at::Tensor& zeros) {
  TORCH_CHECK(qweight.scalar_type() == at::kByte, "qweight must be uint8, got ",
              qweight.scalar_type());
  TORCH_CHECK(scales.scalar_type() == at::kHalf, "scales must be float16, got ",
              scales.scalar_type());
  TORCH_CHECK(!zeros.defined() || zeros.scalar_type() == at::kShort, "zeros must be int16, got ",
              zeros.scalar_type());
}

// Codes along the last dimension, two per byte at 4 bits (low nibble first).
at::Tensor pack_codes(const at::Tensor& codes, int64_t bits) {
  if (bits == 8) return codes.contiguous();
  std::vector<int64_t> shape(codes.sizes().begin(), codes.sizes().end());
  shape.back() /= 2;
  shape.push_back(2);
  const at::Tensor pairs = codes.reshape(shape);
  return pairs.select(-1, 0).bitwise_or(pairs.select(-1, 1).bitwise_left_shift(4)).contiguous();
}

at::Tensor unpack_codes(const at::Tensor& bytes, int64_t bits) {
  if (bits == 8) return bytes;
  std::vector<int64_t> shape(bytes.sizes().begin(), bytes.sizes().end());
  shape.back() *= 2;
  return at::stack({bytes.bitwise_and(15), bytes.bitwise_right_shift(4)}, -1).reshape(shape);
}

// The weights in the half layout of width K: [N/16, K, 16] for the arranged widths, [N, K]
// otherwise. w = (q - z) * s: the difference is exact in int16, its product with the half scale
// exact in float32, rounded to half once.
at::Tensor dequantize_layout(const at::Tensor& qweight, const at::Tensor& scales,
                             const at::Tensor& zeros, int64_t bits, int64_t group_size, int64_t K) {
  const at::Tensor codes = unpack_codes(qweight, bits).to(at::kShort);
  const int64_t groups = K / group_size;
  // Codes viewed per group, [N/16, K/g, g, 16] or [N, K/g, g]: a group's scale and zero are
  // broadcast along dimension 2.
  const bool blocks = is_arranged(K);
  const at::Tensor grouped = blocks ? codes.view({codes.size(0), groups, group_size, kBlock})
                                    : codes.view({codes.size(0), groups, group_size});
  const at::Tensor s = scales.unsqueeze(2).to(at::kFloat);
  const at::Tensor centred =
      zeros.defined() ? grouped - zeros.unsqueeze(2) : grouped - (int64_t{1} << (bits - 1));
  const at::Tensor w = (centred.to(at::kFloat) * s).to(at::kHalf);
  return blocks ? w.view({codes.size(0), K, kBlock}) : w.view({codes.size(0), K});
}

// Row-major [N, ...] (per output feature) in the layout of width K: for the arranged widths the
// 16 outputs of a block become the last dimension, [N/16, ..., 16].
at::Tensor arrange_rows(const at::Tensor& rows, int64_t K) {
  if (!is_arranged(K)) return rows.contiguous();
  const int64_t N = rows.size(0), L = rows.size(1);
  return rows.reshape({N / kBlock, kBlock, L}).transpose(1, 2).contiguous();
}

// `d` (float64) rounded to half once. PyTorch converts through float, which can round twice: a
// value just above a half tie becomes the tie, then rounds to even. So the float is rounded to odd
// first (an inexact float with an even last bit moves one step toward d), which keeps the tie
// broken; float's 24 bits against half's 11 make the second rounding exact.
at::Tensor round_to_half(const at::Tensor& d) {
  const at::Tensor f = d.to(at::kFloat);
  const at::Tensor inexact = f.to(at::kDouble).ne(d);
  const at::Tensor even = f.view(at::kInt).bitwise_and(1).eq(0);
  const at::Tensor up = d.gt(f.to(at::kDouble));
  const double inf = std::numeric_limits<double>::infinity();
  const at::Tensor toward = at::nextafter(f, at::where(up, at::full_like(f, inf), -inf));
  return at::where(inexact.logical_and(even), toward, f).to(at::kHalf);
}

void check_aligned(const at::Tensor& t, const char* name) {
  TORCH_CHECK(reinterpret_cast<uintptr_t>(t.data_ptr()) % 4 == 0, name,
              " data must start at a 4-byte aligned address");
}

// The packed kernel for a half input [M, K] (1 <= M <= 8, K with a kernel) on checked shapes.
at::Tensor packed_kernel_path(const at::Tensor& input, const at::Tensor& qweight,
                              const at::Tensor& scales, const at::Tensor& zeros, int64_t bits,
                              int64_t group_size, int64_t N) {
  const int64_t M = input.size(0), K = input.size(1);
  check_aligned(qweight, "qweight");
  check_aligned(scales, "scales");
  if (zeros.defined()) check_aligned(zeros, "zeros");
  // Never zero-filled: the kernel writes every element.
  at::Tensor output = at::empty({M, N}, input.options().device(qweight.device()));
  if (N == 0) return output;
  // Copies made for negation bits are freed once the kernel has run (frees wait for launches).
  const at::Tensor x = negation_applied(input), s = negation_applied(scales),
                   q = negation_applied(qweight);
  const at::Tensor z = zeros.defined() ? negation_applied(zeros) : zeros;
  const vk::linear_packed_params params{
      static_cast<const uint8_t*>(q.data_ptr()),
      static_cast<const uint8_t*>(s.data_ptr()),
      z.defined() ? static_cast<const uint8_t*>(z.data_ptr()) : nullptr,
      static_cast<const uint8_t*>(x.data_ptr()),
      static_cast<uint8_t*>(output.data_ptr()),
      static_cast<int>(M),
      static_cast<uint32_t>(N),
      static_cast<uint32_t>(group_size)};
  launch_on_device(qweight.device(), [&](sycl::queue& queue) {
    const auto width = static_cast<uint32_t>(K), b = static_cast<uint32_t>(bits);
    return is_arranged(K) ? vk::launch_linear_packed_arranged(queue, params, width, b)
                          : vk::launch_linear_packed_row_major(queue, params, width, b);
  });
  return output;
}

// A float64 value rounded to half once (through a float rounded to odd, as round_to_half).
c10::Half half_of(double d) {
  float f = static_cast<float>(d);
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  if (static_cast<double>(f) != d && (bits & 1) == 0)
    f = std::nextafter(f, d > f ? std::numeric_limits<float>::infinity()
                                : -std::numeric_limits<float>::infinity());
  return c10::Half(f);
}

// The quantizer's formulas element by element on row-major CPU weights of type T: codes
// [N, K] uint8, scales [N, K/g] half, zeros [N, K/g] int16 (z even when symmetric). The same
// arithmetic as the tensor formulas in quantize_weights, a plain loop for the sizes loading meets
// (this torch runs its float64 element-wise operations at a few million elements a second).
template <typename T>
void quantize_loop(const T* w, int64_t N, int64_t K, int64_t group_size, int64_t bits,
                   bool symmetric, uint8_t* codes, c10::Half* scales, int16_t* zeros) {
  const int64_t groups = K / group_size, qmax = (int64_t{1} << bits) - 1,
                mid = int64_t{1} << (bits - 1);
  for (int64_t n = 0; n < N; ++n) {
    for (int64_t g = 0; g < groups; ++g) {
      const T* x = w + n * K + g * group_size;
      double lo = 0, hi = 0, amax = 0;
      for (int64_t i = 0; i < group_size; ++i) {
        const double v = static_cast<double>(static_cast<float>(x[i]));
        TORCH_CHECK(std::isfinite(v), "w must be finite");
        lo = std::min(lo, v);
        hi = std::max(hi, v);
        amax = std::max(amax, std::abs(v));
      }
      const double range = symmetric ? amax / double(mid - 1) : (hi - lo) / double(qmax);
      const c10::Half scale = half_of(std::max(range, 0x1p-24));
      TORCH_CHECK(std::isfinite(static_cast<float>(scale)),
                  "w: a group's scale exceeds half's range (",
                  symmetric ? "max|w| / " : "(max - min) / ", symmetric ? mid - 1 : qmax,
                  " > 65504)");
      const double s = static_cast<float>(scale);
      const double z =
          symmetric ? double(mid) : std::clamp(std::nearbyint(-lo / s), 0.0, double(qmax));
      scales[n * groups + g] = scale;
      zeros[n * groups + g] = static_cast<int16_t>(z);
      uint8_t* q = codes + n * K + g * group_size;
      for (int64_t i = 0; i < group_size; ++i) {
        const double v = static_cast<double>(static_cast<float>(x[i]));
        q[i] = static_cast<uint8_t>(std::clamp(std::nearbyint(v / s) + z, 0.0, double(qmax)));
      }
    }
  }
}

at::Tensor optional_tensor(const c10::optional<at::Tensor>& t) {
  return t.has_value() ? *t : at::Tensor();
}

}  // namespace

std::tuple<at::Tensor, at::Tensor, c10::optional<at::Tensor>> quantize_weights(const at::Tensor& w,
                                                                               int64_t bits,
                                                                               int64_t group_size,
                                                                               bool symmetric) {
  TORCH_CHECK(w.dim() == 2, "w must be 2-D row-major weights [N, K], got ", w.dim(), " dimensions");
  const at::ScalarType type = w.scalar_type();
  TORCH_CHECK(type == at::kHalf || type == at::kBFloat16 || type == at::kFloat,
              "w must be float16, bfloat16 or float32, got ", type);
  check_format(bits, group_size);
  const int64_t N = w.size(0), K = w.size(1), groups = K / group_size;
  check_width("w", K, group_size);
  TORCH_CHECK(!is_arranged(K) || N % kBlock == 0, "w must have N a multiple of ", kBlock,
              " for K = ", K, " (codes arranged in blocks of 16 output features), got N = ", N);
  const int64_t qmax = (int64_t{1} << bits) - 1, mid = int64_t{1} << (bits - 1);
  if (w.device().is_cpu()) {
    const at::Tensor src = w.contiguous();
    at::Tensor q = at::empty({N, K}, w.options().dtype(at::kByte));
    at::Tensor scale = at::empty({N, groups}, w.options().dtype(at::kHalf));
    at::Tensor z = at::empty({N, groups}, w.options().dtype(at::kShort));
    auto* codes = q.data_ptr<uint8_t>();
    auto* scales = scale.data_ptr<c10::Half>();
    auto* zs = z.data_ptr<int16_t>();
    if (type == at::kHalf)
      quantize_loop(src.data_ptr<c10::Half>(), N, K, group_size, bits, symmetric, codes, scales, zs);
    else if (type == at::kBFloat16)
      quantize_loop(src.data_ptr<c10::BFloat16>(), N, K, group_size, bits, symmetric, codes, scales,
                    zs);
    else
      quantize_loop(src.data_ptr<float>(), N, K, group_size, bits, symmetric, codes, scales, zs);
    c10::optional<at::Tensor> zeros;
    if (!symmetric) zeros = arrange_rows(z, K);
    return {pack_codes(arrange_rows(q, K), bits), arrange_rows(scale, K), zeros};
  }
  TORCH_CHECK(at::isfinite(w).all().item<bool>(), "w must be finite");
  // Every step in float64 from w's own values, as the formulas read; s rounded to half first.
  const at::Tensor x = w.to(at::kDouble).reshape({N, groups, group_size});
  // Scales are at least 2^-24, half's smallest positive value, so no group divides by zero: an
  // all-zero group stores every code as z and dequantizes to exactly 0, and a group within
  // 2^-25 (2^b - 1) of 0 still dequantizes within s / 2 = 2^-25. (Raising the float64 value
  // before rounding is the same as raising the rounded one: 2^-24 is a half.)
  at::Tensor lo, range;
  if (symmetric) {
    range = x.abs().amax(-1) / double(mid - 1);
  } else {
    // The range always holds 0: a group of one sign keeps z in [0, 2^b - 1] unclamped.
    lo = x.amin(-1).clamp_max(0);
    range = (x.amax(-1).clamp_min(0) - lo) / double(qmax);
  }
  const at::Tensor scale = round_to_half(range.clamp_min(0x1p-24));
  TORCH_CHECK(at::isfinite(scale).all().item<bool>(), "w: a group's scale exceeds half's range ",
              "(", symmetric ? "max|w| / " : "(max - min) / ", symmetric ? mid - 1 : qmax,
              " > 65504)");
  const at::Tensor s = scale.to(at::kDouble);
  const at::Tensor z =
      symmetric ? at::full_like(s, double(mid)) : at::round(-lo / s).clamp(0, double(qmax));
  const at::Tensor q = (at::round(x / s.unsqueeze(-1)) + z.unsqueeze(-1))
                           .clamp(0, double(qmax))
                           .to(at::kByte)
                           .view({N, K});
  const at::Tensor qweight =
      is_arranged(K) ? pack_codes(arrange_rows(q, K), bits) : pack_codes(q, bits);
  c10::optional<at::Tensor> zeros;
  if (!symmetric) zeros = arrange_rows(z.to(at::kShort), K);
  return {qweight, arrange_rows(scale, K), zeros};
}

at::Tensor dequantize_weights(const at::Tensor& qweight, const at::Tensor& scales,
                              const c10::optional<at::Tensor>& zeros_opt, int64_t bits,
                              int64_t group_size) {
  const at::Tensor zeros = optional_tensor(zeros_opt);
  const bool same_device = scales.device() == qweight.device() &&
                           (!zeros.defined() || zeros.device() == qweight.device());
  TORCH_CHECK(same_device, "qweight, scales and zeros must be on one device");
  check_dtypes(qweight, scales, zeros);
  check_format(bits, group_size);
  // K from qweight: [N/16, K, 16*b/8] for the arranged widths, [N, K*b/8] for the others.
  TORCH_CHECK(qweight.dim() == 2 || qweight.dim() == 3,
              "qweight must be [N/16, K, 16*bits/8] (arranged widths) or [N, K*bits/8], got ",
              qweight.sizes());
  const int64_t K = qweight.dim() == 3 ? qweight.size(1) : qweight.size(1) * 8 / bits;
  TORCH_CHECK(is_arranged(K) == (qweight.dim() == 3), "qweight: width K = ", K,
              is_arranged(K) ? " reads codes in blocks of 16 outputs [N/16, K, 16*bits/8]"
                             : " reads row-major codes [N, K*bits/8]",
              ", got ", qweight.sizes());
  check_width("qweight", K, group_size);
  const int64_t N = check_packed_shapes(qweight, scales, zeros, bits, group_size, K);
  const at::Tensor w = dequantize_layout(qweight, scales, zeros, bits, group_size, K);
  if (!is_arranged(K)) return w;
  return w.transpose(1, 2).reshape({N, K});
}

at::Tensor linear_quantized_forward(const at::Tensor& input, const at::Tensor& qweight,
                                    const at::Tensor& scales,
                                    const c10::optional<at::Tensor>& zeros_opt, int64_t bits,
                                    int64_t group_size) {
  const at::Tensor zeros = optional_tensor(zeros_opt);
  TORCH_CHECK(on_xpu(input), "input must be a XPU tensor");
  TORCH_CHECK(on_xpu(qweight), "qweight must be a XPU tensor");
  TORCH_CHECK(on_xpu(scales), "scales must be a XPU tensor");
  TORCH_CHECK(!zeros.defined() || on_xpu(zeros), "zeros must be a XPU tensor");
  TORCH_CHECK(input.is_contiguous(), "input must be contiguous");
  TORCH_CHECK(qweight.is_contiguous(), "qweight must be contiguous");
  TORCH_CHECK(scales.is_contiguous(), "scales must be contiguous");
  TORCH_CHECK(!zeros.defined() || zeros.is_contiguous(), "zeros must be contiguous");
  const at::ScalarType type = input.scalar_type();
  TORCH_CHECK(type == at::kHalf || type == at::kFloat || type == at::kDouble,
              "input must be float16, float32 or float64, got ", type);
  check_dtypes(qweight, scales, zeros);
  check_format(bits, group_size);
  TORCH_CHECK(input.dim() >= 2, "input must be [M, K] or have more dimensions, got ",
              input.sizes());
  const int64_t K = input.size(-1);
  check_width("input", K, group_size);
  const int64_t N = check_packed_shapes(qweight, scales, zeros, bits, group_size, K);
  const vk::weight_layout layout = vk::linear_layout(K);
  if (layout != vk::weight_layout::none) {
    const int64_t multiple = vk::linear_family_of(layout).n_multiple;
    TORCH_CHECK(N % multiple == 0, "qweight must hold N a multiple of ", multiple,
                " outputs for K = ", K, ", got N = ", N);
    TORCH_CHECK(N * K * 2 < vk::kLinearMaxWeightBytes, "qweight: its half weights [", N, ", ", K,
                "] must be smaller than 4 GiB (the kernels use 32-bit byte offsets)");
  }
  const bool kernel = linear_takes_kernel(input);
  if (kernel) check_aligned(input, "input");
  RECORD_FUNCTION("ferrow_linear_quantized_forward", std::vector<c10::IValue>({input}));
  if (kernel) return packed_kernel_path(input, qweight, scales, zeros, bits, group_size, N);
  // Half weights exactly as forward reads them; a float or double input reads them converted
  // (exactly) to its own type, as forward requires weights of the input's type for those.
  const at::Tensor w = dequantize_layout(qweight, scales, zeros, bits, group_size, K);
  return linear_compute(input, type == at::kHalf ? w : w.to(type));
}

at::Tensor linear_quantized_forward_meta(const at::Tensor& input, const at::Tensor& qweight,
                                         const at::Tensor&, const c10::optional<at::Tensor>&,
                                         int64_t, int64_t) {
  TORCH_CHECK(input.dim() >= 2, "input must be [M, K] or have more dimensions, got ",
              input.sizes());
  std::vector<int64_t> shape(input.sizes().begin(), input.sizes().end() - 1);
  shape.push_back(qweight.dim() == 3 ? qweight.size(0) * kBlock : qweight.size(0));
  return at::empty(shape, input.options());
}

}  // namespace vantrel::ops
