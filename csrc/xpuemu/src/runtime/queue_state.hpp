// How far the device's queue has got, and whether this process is a child forked after the
// device's threads started: what device memory needs to know of the queue, to defer frees and to
// refuse allocations in such a child. The queue alone writes it; device memory only reads it, so
// memory never calls the queue.
#pragma once

#include <atomic>
#include <cstdint>

namespace xpuemu::detail {

struct queue_state {
  // Sequence numbers of the latest launch submitted and of the latest one completed (0: none;
  // launches complete in submission order). The queue changes them under its lock; other readers
  // load them without it.
  std::atomic<std::uint64_t> submitted{0};
  std::atomic<std::uint64_t> completed{0};
  // Set in a child forked after the device's threads started: they do not exist there.
  std::atomic<bool> forked{false};
};

// The process's one instance (constant-initialised, never destroyed).
extern queue_state g_queue_state;

// Throws the error of every device call in a child forked after the device started.
[[noreturn]] void forked_device();

inline void check_not_forked() {
  if (g_queue_state.forked.load()) forked_device();
}

}  // namespace xpuemu::detail
