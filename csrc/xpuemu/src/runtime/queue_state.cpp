// The queue's progress and the fork flag, shared by the queue and device memory.
#include "queue_state.hpp"

#include <stdexcept>

namespace xpuemu::detail {

queue_state g_queue_state;

void forked_device() {
  throw std::runtime_error(
      "the XPU device cannot be used in a process forked after it was initialised (fork before "
      "using the device, or start the child with the 'spawn' method)");
}

}  // namespace xpuemu::detail
