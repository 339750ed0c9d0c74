// Calls of the XPU device in PyTorch (libxpuemu) for the modules that link it.
#pragma once

#include <cstdint>
#include <string>

namespace xpuemu {

// Whether this library's XPU device is the one registered with PyTorch.
bool torch_device_ok();
// Why it is not (empty when it is).
const std::string& torch_device_error();

// Host operations on device memory: the ops the device runs on the calling thread (the CPU
// fallback, the GEMMs, the copies, _local_scalar_dense), counted since the process started. Each
// is timed after its wait for earlier launches; an op running inside another on the same thread
// counts as part of the outer one.
struct host_op_totals {
  std::uint64_t calls;  // outermost host operations run
  std::uint64_t ns;     // time spent in them, in nanoseconds
};
host_op_totals host_op_totals_now();

}  // namespace xpuemu
