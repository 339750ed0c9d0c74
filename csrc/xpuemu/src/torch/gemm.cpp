// Half GEMMs computed like a GPU computes them: float accumulation, one rounding to half.
#include <algorithm>
#include <initializer_list>
#include <vector>

#include "device_impl.hpp"

namespace xpuemu::device_impl {

namespace {

void check_all_on_device(const char* op, std::initializer_list<at::Tensor> tensors) {
  for (const at::Tensor& t : tensors)
    TORCH_CHECK(on_device(t), op,
                ": expected all tensors to be on the same device, but found at least two "
                "devices, xpu:0 and ",
                t.device(), "!");
}

// A half operand in float, broadcast dimensions (stride 0) kept broadcast: matmul hands bmm its
// matrix expanded over the batch, and widening that whole would allocate a copy per batch entry.
at::Tensor widen(const at::Tensor& t) {
  at::Tensor compact = t;
  for (int64_t d = 0; d < t.dim(); ++d)
    if (t.stride(d) == 0 && t.size(d) > 1) compact = compact.narrow(d, 0, 1);
  return compact.to(at::kFloat).expand(t.sizes());
}

// Runs `gemm` on host views of the operands and returns its result on the device. Half operands
// are computed like on a GPU: widened to float, accumulated in float and rounded to half once.
template <typename F>
at::Tensor host_gemm(const char* op, std::initializer_list<at::Tensor> operands, F gemm) {
  check_all_on_device(op, operands);
  wait_for_device();
  host_op_timer timer;
  const bool half = std::all_of(operands.begin(), operands.end(),
                                [](const at::Tensor& t) { return t.scalar_type() == at::kHalf; });
  host_views views;
  std::vector<at::Tensor> args;
  for (const at::Tensor& t : operands) args.push_back(half ? widen(views(t)) : views(t));
  const at::Tensor result = gemm(args);
  at::Tensor out = empty_device_like(result, half ? at::kHalf : result.scalar_type());
  views(out).copy_(result);
  return out;
}

}  // namespace

at::Tensor mm_device(const at::Tensor& self, const at::Tensor& mat2) {
  return host_gemm("mm", {self, mat2},
                   [](const std::vector<at::Tensor>& a) { return at::mm(a[0], a[1]); });
}

at::Tensor bmm_device(const at::Tensor& self, const at::Tensor& mat2) {
  return host_gemm("bmm", {self, mat2},
                   [](const std::vector<at::Tensor>& a) { return at::bmm(a[0], a[1]); });
}

at::Tensor addmm_device(const at::Tensor& self, const at::Tensor& mat1, const at::Tensor& mat2,
                        const at::Scalar& beta, const at::Scalar& alpha) {
  return host_gemm("addmm", {self, mat1, mat2}, [&](const std::vector<at::Tensor>& a) {
    return at::addmm(a[0], a[1], a[2], beta, alpha);
  });
}

}  // namespace xpuemu::device_impl
