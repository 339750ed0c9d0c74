// Device memory: allocation registry, poisoning and deferred frees.
#include "device_memory.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <new>

#include "queue_state.hpp"
#include "xpuemu/runtime.hpp"

namespace xpuemu {
namespace detail {
namespace {

constexpr std::uint64_t kLive = std::numeric_limits<std::uint64_t>::max();

struct entry {
  std::size_t bytes;
  std::uint64_t last_user;  // kLive while allocated
};

struct registry_state {
  std::mutex mutex;
  std::map<std::uintptr_t, entry> entries;               // by start address
  std::multimap<std::uint64_t, std::uintptr_t> retired;  // start addresses by last user
};

registry_state& state() {
  static registry_state* s = new registry_state;  // never destroyed: used until process exit
  return *s;
}

std::atomic<bool> g_poison{true};

}  // namespace

std::string hex(std::uintptr_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%" PRIxPTR, v);
  return buf;
}

namespace registry {
namespace {

// Registers [p, p + bytes).
void add(void* p, std::size_t bytes) {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.entries[reinterpret_cast<std::uintptr_t>(p)] = entry{bytes, kLive};
}

// Marks `p` freed: launches up to `last_user` (a launch sequence number) may still use it; it is
// released to the host once launch `last_user` has completed (see release_until).
void retire(void* p, std::uint64_t last_user) {
  auto& s = state();
  std::unique_lock<std::mutex> lock(s.mutex);
  auto it = s.entries.find(reinterpret_cast<std::uintptr_t>(p));
  if (it == s.entries.end() || it->second.last_user != kLive) {
    lock.unlock();
    std::fprintf(stderr, "xpuemu: device_free of %s, which is not a live allocation\n",
                 hex(reinterpret_cast<std::uintptr_t>(p)).c_str());
    std::abort();
  }
  it->second.last_user = last_user;
  s.retired.emplace(last_user, it->first);
}

}  // namespace

void release_until(std::uint64_t completed) {
  auto& s = state();
  std::vector<void*> released;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    const auto end = s.retired.upper_bound(completed);
    for (auto it = s.retired.begin(); it != end; ++it) {
      s.entries.erase(it->second);
      released.push_back(reinterpret_cast<void*>(it->second));
    }
    s.retired.erase(s.retired.begin(), end);
  }
  for (void* p : released) std::free(p);
}

std::vector<allocation> snapshot(std::uint64_t seq) {
  auto& s = state();
  std::vector<allocation> out;
  std::lock_guard<std::mutex> lock(s.mutex);
  out.reserve(s.entries.size());
  for (const auto& [start, e] : s.entries)
    if (e.last_user >= seq) out.push_back({start, e.bytes});
  return out;
}

}  // namespace registry
}  // namespace detail

void set_poison(bool on) {
  detail::g_poison.store(on);
}
bool poison() {
  return detail::g_poison.load();
}

void* device_malloc(std::size_t bytes) {
  // Whole 64-byte lines so that a zero-byte allocation still has a unique address. Large buffers
  // (weights, caches) go on 2 MiB pages, as a GPU's memory is mapped: streaming through them then
  // costs a TLB miss per 2 MiB rather than per 4 KiB (kernel A: about 8 % faster here).
  detail::check_not_forked();
  const std::size_t rounded = (std::max<std::size_t>(bytes, 1) + 63) / 64 * 64;
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  void* p;
  if (rounded >= 2 * kHugePage) {
    const std::size_t whole = (rounded + kHugePage - 1) / kHugePage * kHugePage;
    p = std::aligned_alloc(kHugePage, whole);
    if (p) ::madvise(p, whole, MADV_HUGEPAGE);  // a hint: refused, the pages stay small
  } else {
    p = std::aligned_alloc(64, rounded);
  }
  if (!p) throw std::bad_alloc();
  if (detail::g_poison.load(std::memory_order_relaxed)) std::memset(p, 0xFF, bytes);
  detail::registry::add(p, bytes);
  return p;
}

void device_free(void* p) {
  const auto& q = detail::g_queue_state;
  if (!p || q.forked.load()) return;  // a forked child keeps its copy until it exits
  const std::uint64_t last_user = q.submitted.load();
  detail::registry::retire(p, last_user);
  // Release at once if every launch that might use it has already run; otherwise the queue
  // releases it when launch `last_user` completes.
  detail::registry::release_until(q.completed.load());
}

}  // namespace xpuemu
