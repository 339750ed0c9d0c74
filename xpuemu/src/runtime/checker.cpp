// Allocation registry, device memory and the per-launch access checker.
#include "checker.hpp"

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
  std::map<std::uintptr_t, entry> entries;  // by start address
};

registry_state& state() {
  static registry_state* s = new registry_state;  // never destroyed: used until process exit
  return *s;
}

std::string hex(std::uintptr_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%" PRIxPTR, v);
  return buf;
}

}  // namespace

namespace registry {

void add(void* p, std::size_t bytes) {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.entries[reinterpret_cast<std::uintptr_t>(p)] = entry{bytes, kLive};
}

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
}

void release_until(std::uint64_t completed) {
  auto& s = state();
  std::vector<void*> released;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto it = s.entries.begin(); it != s.entries.end();) {
      if (it->second.last_user <= completed) {
        released.push_back(reinterpret_cast<void*>(it->first));
        it = s.entries.erase(it);
      } else {
        ++it;
      }
    }
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

// ---- launch checker -----------------------------------------------------------------------------

launch_checker::launch_checker(std::vector<allocation> allocations)
    : allocs_(std::move(allocations)),
      loads_(allocs_.size()),
      stores_(allocs_.size()),
      loaded_bits_(allocs_.size()) {
  for (auto& b : loaded_bits_) b.store(nullptr, std::memory_order_relaxed);
}

launch_checker::~launch_checker() {
  for (auto& b : loaded_bits_) delete[] b.load();
}

thread_traffic launch_checker::new_traffic() const {
  thread_traffic t;
  t.loads.assign(allocs_.size(), 0);
  t.stores.assign(allocs_.size(), 0);
  return t;
}

namespace {

std::string access_text(std::size_t bytes, access kind, const char* op) {
  return std::string(kind == access::read ? "read" : "write") + " of " + std::to_string(bytes) +
         " bytes by " + op;
}

std::string range_text(std::uintptr_t a, std::size_t bytes) {
  return "[" + hex(a) + ", " + hex(a + bytes) + ")";
}

}  // namespace

// Describes an access that failed the checks; `i` is the allocation below the address, if any.
fault_text launch_checker::describe(std::uintptr_t a, std::size_t bytes, std::size_t align,
                                    access kind, const char* op, std::size_t i) const {
  if (align > 1 && a % align != 0)
    return {"misaligned global " + access_text(bytes, kind, op),
            range_text(a, bytes) + " starts at an address that is not " + std::to_string(align) +
                "-byte aligned"};
  const std::string what = "invalid global " + access_text(bytes, kind, op);
  if (i >= allocs_.size() || a >= allocs_[i].start + allocs_[i].bytes) {
    // Name the nearest allocation below, if any, to help the reader.
    std::string near;
    if (i < allocs_.size())
      near = " (it begins " + std::to_string(a - (allocs_[i].start + allocs_[i].bytes)) +
             " bytes past the end of the allocation at " + hex(allocs_[i].start) + " of " +
             std::to_string(allocs_[i].bytes) + " bytes)";
    return {what, range_text(a, bytes) + " lies in no live allocation" + near};
  }
  const allocation& al = allocs_[i];
  return {what, range_text(a, bytes) + " overruns the allocation at " + hex(al.start) + " of " +
                    std::to_string(al.bytes) + " bytes by " +
                    std::to_string(a + bytes - (al.start + al.bytes)) + " bytes"};
}

fault_text launch_checker::check(const void* p, std::size_t bytes, std::size_t align,
                                 access kind, const char* op, thread_traffic& traffic) {
  const auto a = reinterpret_cast<std::uintptr_t>(p);
  // The allocation containing the first byte: the previous hit, else a binary search.
  std::size_t i = traffic.last;
  if (i >= allocs_.size() || a < allocs_[i].start || a >= allocs_[i].start + allocs_[i].bytes) {
    auto it = std::upper_bound(allocs_.begin(), allocs_.end(), a,
                               [](std::uintptr_t x, const allocation& al) { return x < al.start; });
    i = it == allocs_.begin() ? allocs_.size() : static_cast<std::size_t>(it - allocs_.begin()) - 1;
  }
  if ((align > 1 && a % align != 0) || i >= allocs_.size() ||
      a >= allocs_[i].start + allocs_[i].bytes || bytes > allocs_[i].start + allocs_[i].bytes - a)
    return describe(a, bytes, align, kind, op, i);
  const allocation& al = allocs_[i];

  traffic.last = i;
  if (kind == access::write) {
    traffic.stores[i] += bytes;
    return {};
  }
  traffic.loads[i] += bytes;
  // Mark the loaded bytes, one bit each, for the distinct-address count.
  std::atomic<std::uint64_t>* bits = loaded_bits_[i].load(std::memory_order_acquire);
  if (!bits) {
    const std::size_t words = (al.bytes + 63) / 64;
    auto* fresh = new std::atomic<std::uint64_t>[words];
    for (std::size_t w = 0; w < words; ++w) fresh[w].store(0, std::memory_order_relaxed);
    if (loaded_bits_[i].compare_exchange_strong(bits, fresh, std::memory_order_acq_rel)) {
      bits = fresh;
    } else {
      delete[] fresh;
    }
  }
  std::size_t first = a - al.start;
  const std::size_t last = first + bytes;  // exclusive
  while (first < last) {
    const std::size_t w = first / 64, lo = first % 64;
    const std::size_t n = std::min<std::size_t>(64 - lo, last - first);
    const std::uint64_t mask = (n == 64 ? ~0ull : ((1ull << n) - 1)) << lo;
    if ((bits[w].load(std::memory_order_relaxed) & mask) != mask)
      bits[w].fetch_or(mask, std::memory_order_relaxed);
    first += n;
  }
  return {};
}

void launch_checker::merge(const thread_traffic& traffic) {
  std::lock_guard<std::mutex> lock(merge_mutex_);
  for (std::size_t i = 0; i < allocs_.size(); ++i) {
    loads_[i] += traffic.loads[i];
    stores_[i] += traffic.stores[i];
  }
}

void launch_checker::report(launch_record& record) const {
  for (std::size_t i = 0; i < allocs_.size(); ++i) {
    const std::uintptr_t start = allocs_[i].start;
    if (loads_[i]) record.loads[start] = loads_[i];
    if (stores_[i]) record.stores[start] = stores_[i];
    if (const std::atomic<std::uint64_t>* bits = loaded_bits_[i].load()) {
      std::uint64_t n = 0;
      for (std::size_t w = 0; w < (allocs_[i].bytes + 63) / 64; ++w)
        n += static_cast<std::uint64_t>(__builtin_popcountll(bits[w].load()));
      record.loads_unique[start] = n;
    }
  }
}

}  // namespace detail

// ---- device memory ------------------------------------------------------------------------------

namespace {
std::atomic<bool> g_poison{true};
}

void set_poison(bool on) { g_poison.store(on); }
bool poison() { return g_poison.load(); }

void* device_malloc(std::size_t bytes) {
  // Whole 64-byte lines so that a zero-byte allocation still has a unique address.
  const std::size_t rounded = (std::max<std::size_t>(bytes, 1) + 63) / 64 * 64;
  void* p = std::aligned_alloc(64, rounded);
  if (!p) throw std::bad_alloc();
  if (g_poison.load(std::memory_order_relaxed)) std::memset(p, 0xFF, bytes);
  detail::registry::add(p, bytes);
  return p;
}

}  // namespace xpuemu
