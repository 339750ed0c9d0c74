// Time spent in host operations on device memory.
#include <chrono>

#include "device_impl.hpp"
#include "xpuemu/torch_device.hpp"

namespace xpuemu::device_impl {

std::atomic<std::uint64_t> g_host_op_calls{0};
std::atomic<std::uint64_t> g_host_op_ns{0};
thread_local unsigned tl_host_op_depth = 0;

std::uint64_t now_ns() {
  const auto t = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(t).count());
}

}  // namespace xpuemu::device_impl

namespace xpuemu {

host_op_totals host_op_totals_now() {
  return {device_impl::g_host_op_calls.load(std::memory_order_relaxed),
          device_impl::g_host_op_ns.load(std::memory_order_relaxed)};
}

}  // namespace xpuemu
