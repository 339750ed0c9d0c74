// The module `vantrel` and its two operator entry points.
#include <ATen/record_function.h>
#include <c10/util/Exception.h>
#include <torch/extension.h>

#include "xpu_ops.h"

namespace {

bool on_xpu(const at::Tensor& t) {
  return t.device().type() == c10::DeviceType::XPU;
}

}  // namespace

at::Tensor linear_forward(at::Tensor input, at::Tensor weights) {
  TORCH_CHECK(on_xpu(input), "input must be a XPU tensor");
  TORCH_CHECK(input.is_contiguous(), "input must be contiguous");
  TORCH_CHECK(on_xpu(weights), "weights must be a XPU tensor");
  TORCH_CHECK(weights.is_contiguous(), "weights must be contiguous");
  RECORD_FUNCTION("ferrow_linear_fp16_forward", std::vector<c10::IValue>({input}));
  return linear_xpu_forward(input, weights);
}

at::Tensor sdp_forward(at::Tensor q, at::Tensor k, at::Tensor v) {
  TORCH_CHECK(on_xpu(q), "q must be a XPU tensor");
  TORCH_CHECK(on_xpu(k), "k must be a XPU tensor");
  TORCH_CHECK(on_xpu(v), "v must be a XPU tensor");
  RECORD_FUNCTION("ferrow_sdp_fp16_forward", std::vector<c10::IValue>({q, k, v}));
  return sdp_xpu_forward(q, k, v);
}

PYBIND11_MODULE(vantrel, m) {
  // The tensor type caster needs torch's Python module, and the XPU device its extension,
  // whatever the caller imported first.
  pybind11::module_::import("torch");
  pybind11::module_::import("xpuemu");
  // torch's tensor caster calls the type "at::Tensor"; the docstrings carry the Python name.
  pybind11::options options;
  options.disable_function_signatures();
  m.def("forward", &linear_forward,
        "forward(arg0: torch.Tensor, arg1: torch.Tensor) -> torch.Tensor\n\n"
        "Linear forward (XPU)\n");
  m.def(
      "sdp_forward", &sdp_forward,
      "sdp_forward(arg0: torch.Tensor, arg1: torch.Tensor, arg2: torch.Tensor) -> torch.Tensor\n\n"
      "SDP forward (XPU)\n");
}
