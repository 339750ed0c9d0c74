// Kernels for the XPU device tests: a fill that can be held back, and an out-of-bounds read.
#include <c10/core/impl/VirtualGuardImpl.h>
#include <torch/extension.h>

#include <chrono>
#include <thread>

#include "sycl/sycl.hpp"
#include "xpu/xpu.hpp"

namespace {

struct FillKernel;
struct OverrunKernel;

float* float_data(const at::Tensor& t) {
  TORCH_CHECK(t.device().type() == c10::DeviceType::XPU, "t must be a XPU tensor");
  TORCH_CHECK(t.scalar_type() == at::kFloat && t.is_contiguous(), "t must be contiguous float");
  return t.data_ptr<float>();
}

// Submits one launch over (n, 1) work-items on the current stream's queue and records it.
template <typename Name, typename F>
void launch(const at::Tensor& t, std::size_t n, F body) {
  c10::impl::VirtualGuardImpl guard(c10::DeviceType::XPU);
  sycl::queue& q = xpu::get_queue_from_stream(guard.getStream(t.device()));
  sycl::event e = q.submit([&](sycl::handler& h) {
    h.parallel_for<Name>(sycl::nd_range<2>(sycl::range<2>(n, 1), sycl::range<2>(1, 1)), body);
  });
  xpu::profiler_record("dpcpp_kernel", e);
}

// Stores `value` into every element of `t`; work-item 0 first sleeps `delay_ms`, or with a
// negative delay reads its element until the launch's time limit stops it.
void fill(const at::Tensor& t, double value, int64_t delay_ms) {
  float* p = float_data(t);
  const float v = static_cast<float>(value);
  launch<FillKernel>(t, t.numel(), [=](sycl::nd_item<2> it) {
    const std::size_t i = it.get_global_id(0);
    if (i == 0 && delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    while (i == 0 && delay_ms < 0)
      xpuemu::detail::global_access(p, sizeof(float), sizeof(float), xpuemu::detail::access::read,
                                    "load");
    xpuemu::detail::global_access(p + i, sizeof(float), sizeof(float),
                                  xpuemu::detail::access::write, "store");
    p[i] = v;
  });
}

// Reads the float just past the end of `t` (the checker stops the access).
void overrun(const at::Tensor& t) {
  const float* end = float_data(t) + t.numel();
  launch<OverrunKernel>(t, 1, [=](sycl::nd_item<2>) {
    xpuemu::detail::global_access(end, sizeof(float), sizeof(float), xpuemu::detail::access::read,
                                  "load");
  });
}

}  // namespace

PYBIND11_MODULE(xpuemu_testkernels, m) {
  m.def("fill", &fill, py::arg("t"), py::arg("value"), py::arg("delay_ms") = 0);
  m.def("overrun", &overrun, py::arg("t"));
}
