// The xpu:: host calls operators make: the queue behind a stream and the profiler record of a
// launch.
#include <ATen/record_function.h>

#include <string>
#include <utility>

#include "device_impl.hpp"
#include "xpu/xpu.hpp"

namespace xpu {

sycl::queue& get_queue_from_stream(c10::Stream stream) {
  TORCH_CHECK(stream.device_type() == xpuemu::device_impl::kXPU,
              "get_queue_from_stream: expected an XPU stream, got ", stream);
  static auto* queue = new sycl::queue(sycl::property::queue::in_order{});  // never destroyed
  return *queue;
}

void profiler_record(std::string name, sycl::event& /*event*/) {
  auto callbacks = at::getStepCallbacksUnlessEmpty(at::RecordScope::FUNCTION);
  if (C10_LIKELY(!callbacks)) return;
  at::RecordFunction record(std::move(*callbacks));  // closes when it goes out of scope
  if (record.isActive()) record.before(std::move(name));
}

}  // namespace xpu
