// Device memory: the registry of live allocations behind device_malloc and device_free
// (runtime.hpp), poisoning, and frees deferred until every launch that may use the memory has run.
// It reads the queue's progress (queue_state.hpp) and never calls the queue; the queue calls it to
// take a launch's allocations and to release memory as launches complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace xpuemu::detail {

// A live allocation as a launch sees it.
struct allocation {
  std::uintptr_t start;
  std::size_t bytes;
};

// An address as messages print it ("0x...").
std::string hex(std::uintptr_t v);

// Registry of device allocations. Thread-safe.
namespace registry {
// Releases to the host every freed allocation whose last user (the latest launch submitted before
// its free) is at most `completed`.
void release_until(std::uint64_t completed);
// The allocations launch `seq` may use, sorted by start address.
std::vector<allocation> snapshot(std::uint64_t seq);
}  // namespace registry

}  // namespace xpuemu::detail
