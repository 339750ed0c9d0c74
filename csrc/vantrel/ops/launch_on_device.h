// Launching a kernel from the ATen-facing code: the device's current queue and the profiler.
#pragma once

#include <c10/core/Device.h>
#include <c10/core/impl/VirtualGuardImpl.h>

#include <sycl/sycl.hpp>
#include <utility>
#include <xpu/xpu.hpp>

// Calls `launch(queue)` with the queue of `device`'s current stream; the sycl::event it returns
// is recorded for the profiler as "dpcpp_kernel". Returns without waiting.
template <typename Launch>
void launch_on_device(const c10::Device& device, Launch&& launch) {
  c10::impl::VirtualGuardImpl guard(device.type());
  sycl::queue& queue = xpu::get_queue_from_stream(guard.getStream(device));
  sycl::event event = std::forward<Launch>(launch)(queue);
  xpu::profiler_record("dpcpp_kernel", event);
}
