// Linear layer without bias for decoding steps: output = input x weights^T in half precision.
// ATen side: every input check, the path choice and the launch. Half inputs of up to 8 rows whose
// width K has a kernel (vantrel/kernels/catalog.hpp) take it: the arranged widths read weights in
// blocks of 16 output features, the row-major widths read [N, K]. Every other call goes to
// PyTorch's linear.
#include <ATen/ATen.h>
#include <ATen/Dispatch.h>
#include <ATen/record_function.h>
#include <c10/util/Exception.h>

#include <cstdint>

#include "vantrel/kernels/linear_launch.hpp"
#include "vantrel/ops/launch_on_device.h"
#include "vantrel/ops/ops.h"

namespace vantrel::ops {
namespace {

using kernels::kBlockOutputs;
using kernels::kLinearMaxRows;
using kernels::kLinearMaxWeightBytes;
using kernels::weight_layout;

bool is_arranged_width(int64_t K) {
  return kernels::linear_layout(K) == weight_layout::arranged;
}

// For an arranged width K a weight is always pre-arranged in blocks of 16 output features, whether
// it is shaped [N/16, K, 16] or [N, K].
bool arranged(const at::Tensor& weights, int64_t K) {
  if (weights.dim() == 2) return weights.size(1) == K && weights.size(0) % kBlockOutputs == 0;
  if (weights.dim() == 3) return weights.size(1) == K && weights.size(2) == kBlockOutputs;
  return false;
}

void check_arranged(const at::Tensor& weights, int64_t K) {
  TORCH_CHECK(arranged(weights, K), "weights must be [N/", kBlockOutputs, ", ", K, ", ",
              kBlockOutputs, "] or [N, ", K, "] with N a multiple of ", kBlockOutputs);
}

// PyTorch's linear on the row-major [N, K] form of `weights`, K being the input's feature count.
// A pre-arranged weight (arranged widths) is turned back into rows first, so every path computes
// the same product from the same weight.
at::Tensor torch_linear(const at::Tensor& input, const at::Tensor& weights) {
  const int64_t K = input.size(-1);
  if (is_arranged_width(K)) {
    check_arranged(weights, K);
    const int64_t B = kBlockOutputs;
    const int64_t N = weights.dim() == 3 ? weights.size(0) * B : weights.size(0);
    return at::linear(input, weights.reshape({N / B, K, B}).transpose(1, 2).reshape({N, K}));
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
    const int64_t multiple = kernels::kRowMajorFamily.n_multiple;
    TORCH_CHECK(weights.dim() == 2 && weights.size(1) == K && weights.size(0) % multiple == 0,
                "weights must be [N, ", K, "] with N a multiple of ", multiple);
  }
  TORCH_CHECK(
      weights.numel() * static_cast<int64_t>(weights.element_size()) < kLinearMaxWeightBytes,
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
  if (kernels::linear_layout(K) == weight_layout::none) return torch_linear(input, weights);
  const auto options = input.options().device(weights.device());
  if (M == 0) return at::empty({0, N}, options);
  check_kernel_operands(input, weights, K);
  at::Tensor output = at::empty({M, N}, options);  // never zero-filled: the kernel writes it all
  if (N == 0) return output;
  // Copies made for negation bits are freed once the kernel has run (frees wait for launches).
  const at::Tensor x = negation_applied(input), w = negation_applied(weights);
  static_assert(sizeof(T) == 2, "the kernels read and write binary16 values");
  const kernels::linear_params params{
      static_cast<const uint8_t*>(w.data_ptr()), static_cast<const uint8_t*>(x.data_ptr()),
      static_cast<uint8_t*>(output.data_ptr()), static_cast<int>(M), static_cast<uint32_t>(N)};
  launch_on_device(weights.device(), [&](sycl::queue& queue) {
    return is_arranged_width(K)
               ? kernels::launch_linear_arranged(queue, params, static_cast<uint32_t>(K))
               : kernels::launch_linear_row_major(queue, params, static_cast<uint32_t>(K));
  });
  return output;
}

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

// N from the weights: [N, K], or [N/16, K, 16] pre-arranged.
int64_t output_features(const at::Tensor& weights) {
  return weights.dim() >= 3 ? weights.size(0) * weights.size(2) : weights.size(0);
}

}  // namespace

// M and K from the input [M, K]; inputs of more than two dimensions are computed by PyTorch. A
// 1-D input raises PyTorch's IndexError from its size accessor.
at::Tensor linear_compute(const at::Tensor& input, const at::Tensor& weights) {
  const int64_t M = input.dim() == 2 ? input.size(0) : 0;
  const int64_t K = input.dim() > 2 ? input.size(-1) : input.size(1);
  return qlinear_forward_xpu(input, weights, M, K, output_features(weights));
}

bool linear_takes_kernel(const at::Tensor& input) {
  return input.scalar_type() == at::kHalf && input.dim() == 2 && input.size(0) >= 1 &&
         input.size(0) <= kLinearMaxRows &&
         kernels::linear_layout(input.size(1)) != weight_layout::none;
}

at::Tensor linear_forward(const at::Tensor& input, const at::Tensor& weights) {
  TORCH_CHECK(on_xpu(input), "input must be a XPU tensor");
  TORCH_CHECK(input.is_contiguous(), "input must be contiguous");
  TORCH_CHECK(on_xpu(weights), "weights must be a XPU tensor");
  TORCH_CHECK(weights.is_contiguous(), "weights must be contiguous");
  RECORD_FUNCTION("ferrow_linear_fp16_forward", std::vector<c10::IValue>({input}));
  return linear_compute(input, weights);
}

at::Tensor linear_forward_meta(const at::Tensor& input, const at::Tensor& weights) {
  input.size(input.dim() > 2 ? -1 : 1);  // a 1-D input raises IndexError, as on the device
  std::vector<int64_t> shape(input.sizes().begin(), input.sizes().end() - 1);
  shape.push_back(output_features(weights));
  return at::empty(shape, input.options());
}

}  // namespace vantrel::ops
