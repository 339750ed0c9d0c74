// Linear layer without bias for decoding steps: output = input x weights^T in half precision.
// ATen side: checks, the path choice and the launch. Half inputs of up to 8 rows whose width K has
// a kernel (vantrel/kernels/linear_launch.hpp) take it: the arranged widths read weights in blocks
// of 16 output features, the row-major widths read [N, K]. Every other call goes to PyTorch's
// linear.
#include <ATen/ATen.h>
#include <ATen/Dispatch.h>
#include <c10/util/Exception.h>

#include <cstdint>

#include "vantrel/kernels/linear_launch.hpp"
#include "vantrel/ops/launch_on_device.h"
#include "vantrel/ops/ops.h"

namespace {

using vantrel::kernels::kLinearMaxRows;
using vantrel::kernels::kLinearMaxWeightBytes;
using vantrel::kernels::weight_layout;

bool is_arranged_width(int64_t K) {
  return vantrel::kernels::linear_layout(K) == weight_layout::arranged;
}

// For an arranged width K a weight is always pre-arranged in blocks of 16 output features, whether
// it is shaped [N/16, K, 16] or [N, K].
bool arranged(const at::Tensor& weights, int64_t K) {
  if (weights.dim() == 2) return weights.size(1) == K && weights.size(0) % 16 == 0;
  if (weights.dim() == 3) return weights.size(1) == K && weights.size(2) == 16;
  return false;
}

void check_arranged(const at::Tensor& weights, int64_t K) {
  TORCH_CHECK(arranged(weights, K), "weights must be [N/16, ", K, ", 16] or [N, ", K,
              "] with N a multiple of 16");
}

// PyTorch's linear on the row-major [N, K] form of `weights`, K being the input's feature count.
// A pre-arranged weight (arranged widths) is turned back into rows first, so every path computes
// the same product from the same weight.
at::Tensor torch_linear(const at::Tensor& input, const at::Tensor& weights) {
  const int64_t K = input.size(-1);
  if (is_arranged_width(K)) {
    check_arranged(weights, K);
    const int64_t N = weights.dim() == 3 ? weights.size(0) * 16 : weights.size(0);
    return at::linear(input, weights.reshape({N / 16, K, 16}).transpose(1, 2).reshape({N, K}));
  }
  TORCH_CHECK(weights.dim() == 2 && weights.size(1) == K, "weights must be [N, ", K,
              "] (row-major) for an input with ", K, " features");
  return at::linear(input, weights);
}

// Everything the kernels rely on but do not check: layout and N, 32-bit byte offsets, 4-byte
// aligned start addresses.
void check_kernel_operands(const at::Tensor& input, const at::Tensor& weights, int64_t K) {
  if (is_arranged_width(K)) {
    check_arranged(weights, K);
  } else {
    TORCH_CHECK(weights.dim() == 2 && weights.size(1) == K && weights.size(0) % 4 == 0,
                "weights must be [N, ", K, "] with N a multiple of 4");
  }
  TORCH_CHECK(weights.numel() * static_cast<int64_t>(weights.element_size()) < kLinearMaxWeightBytes,
              "weights must be smaller than 4 GiB (the kernels use 32-bit byte offsets)");
  TORCH_CHECK(reinterpret_cast<uintptr_t>(input.data_ptr()) % 4 == 0,
              "input data must start at a 4-byte aligned address");
  TORCH_CHECK(reinterpret_cast<uintptr_t>(weights.data_ptr()) % 4 == 0,
              "weights data must start at a 4-byte aligned address");
}

// The kernel path for a Half input of M <= 8 rows: a width with a kernel and weights it can serve;
// any other K goes to PyTorch. Returns the output the submitted kernel writes.
template <typename T>
at::Tensor linear_kernel_path(const at::Tensor& input, const at::Tensor& weights, int64_t M,
                              int64_t K, int64_t N) {
  if (vantrel::kernels::linear_layout(K) == weight_layout::none)
    return torch_linear(input, weights);
  const auto options = input.options().device(weights.device());
  if (M == 0) return at::empty({0, N}, options);
  check_kernel_operands(input, weights, K);
  at::Tensor output = at::empty({M, N}, options);  // never zero-filled: the kernel writes it all
  if (N == 0) return output;
  // Copies made for negation bits are freed once the kernel has run (frees wait for launches).
  const at::Tensor x = negation_applied(input), w = negation_applied(weights);
  static_assert(sizeof(T) == 2, "the kernels read and write binary16 values");
  const vantrel::kernels::linear_params params{
      static_cast<const uint8_t*>(w.data_ptr()), static_cast<const uint8_t*>(x.data_ptr()),
      static_cast<uint8_t*>(output.data_ptr()), static_cast<int>(M), static_cast<uint32_t>(N)};
  launch_on_device(weights.device(), [&](sycl::queue& queue) {
    return is_arranged_width(K)
               ? vantrel::kernels::launch_linear_arranged(queue, params, static_cast<uint32_t>(K))
               : vantrel::kernels::launch_linear_row_major(queue, params, static_cast<uint32_t>(K));
  });
  return output;
}

}  // namespace

// The element types decide the path, whatever the number of rows or dimensions: Float and Double
// go to PyTorch's linear; Half takes the kernels for up to 8 rows of a 2-D input and PyTorch's
// linear otherwise, with weights of the same type; any other element type is refused.
at::Tensor qlinear_forward_xpu(const at::Tensor& input, const at::Tensor& weights, int64_t M,
                               int64_t K, int64_t N) {
  const at::ScalarType type = input.scalar_type();
  if (type == at::kFloat || type == at::kDouble) return torch_linear(input, weights);
  at::Tensor output;
  AT_DISPATCH_SWITCH(type, "qlinear_forward_xpu", AT_DISPATCH_CASE(at::ScalarType::Half, [&] {
                       weights.data_ptr<scalar_t>();  // refuses weights of another type
                       output = input.dim() == 2 && M <= kLinearMaxRows
                                    ? linear_kernel_path<scalar_t>(input, weights, M, K, N)
                                    : torch_linear(input, weights);
                     }));
  return output;
}

// M and K from the input [M, K], N from the weights ([N, K], or [N/16, K, 16] pre-arranged).
// Inputs of more than two dimensions are computed by PyTorch.
at::Tensor linear_xpu_forward(const at::Tensor& input, const at::Tensor& weights) {
  const int64_t M = input.dim() == 2 ? input.size(0) : 0;
  const int64_t K = input.dim() > 2 ? input.size(-1) : input.size(1);
  int64_t N = weights.size(0);
  if (weights.dim() >= 3) N = weights.size(0) * weights.size(2);
  return qlinear_forward_xpu(input, weights, M, K, N);
}
