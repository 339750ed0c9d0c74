// The emulated device's runtime: device memory, the in-order launch queue, the launch log and the
// switches of the memory checker. The API headers (sycl, esimd) reach it only through the calls
// declared here; the torch device and the Python module build on the same calls.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace xpuemu {

// ---- switches (process-wide; a launch uses the values current when it starts running) ----------

// Memory checks and access counters of every kernel access.
void set_checking(bool on);
bool checking();
// 0xFF fill of new allocations and of each work-group's shared local memory.
void set_poison(bool on);
bool poison();
// Time limit of one launch in seconds (0: none, the default unless XPUEMU_LAUNCH_TIMEOUT_S is set).
// Checked at memory accesses and barriers: a work-item still running past it fails the launch. A
// kernel that spins without touching memory or a barrier is not stopped.
void set_launch_timeout(double seconds);
double launch_timeout();

// ---- device memory -----------------------------------------------------------------------------

// Host memory registered with the checker: 64-byte aligned, poisoned when poisoning is on. A
// zero-byte allocation is valid and returns a unique pointer that no access may use.
void* device_malloc(std::size_t bytes);
// Releases an allocation once every launch submitted before this call has run. Null is ignored.
void device_free(void* p);

// ---- queue --------------------------------------------------------------------------------------

// The failure of a launch, reported by the first wait after it.
class launch_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Waits for every submitted launch, then throws the earliest unreported failure (mentioning how
// many more there were) and forgets them all.
void synchronize();
// Installs `hook` (null: none), called about every 50 ms by every thread that waits for the
// device, without the runtime's locks held. What it throws ends the wait; the launches go on. The
// Python module raises KeyboardInterrupt this way.
void set_wait_hook(void (*hook)());

// In a child process forked after the device started, the device's threads do not exist: every
// call above throws std::runtime_error saying so, except device_free (keeps the memory until the
// child exits).

// ---- launch log ---------------------------------------------------------------------------------

// Launch times are read by the device's worker from std::chrono::steady_clock, in nanoseconds.
// On Linux that clock is CLOCK_MONOTONIC, the clock of Python's time.monotonic_ns(), so the times
// compare directly with host timestamps taken either way.
struct launch_record {
  std::string kernel;       // unqualified kernel name, template arguments dropped
  std::size_t global[2];    // global range
  std::size_t local[2];     // local range (work-group)
  std::uint32_t slm_bytes;  // shared local memory requested by slm_init (0 if none)
  std::uint64_t barriers;   // barrier completions summed over work-groups
  std::uint64_t start_ns;   // when the launch started running on the device
  std::uint64_t end_ns;     // when its last work-group finished (== start_ns for an empty launch)
  // Global traffic by allocation start address, in bytes (counted while checking is on).
  std::map<std::uintptr_t, std::uint64_t> loads;         // bytes loaded
  std::map<std::uintptr_t, std::uint64_t> loads_unique;  // distinct byte addresses loaded
  std::map<std::uintptr_t, std::uint64_t> stores;        // bytes stored
  std::string error;                                     // empty unless the launch failed
};

// Waits for every launch submitted before the call and returns their latest 10,000 records in
// submission order (launches other threads submit meanwhile are left out). Never throws a launch
// failure.
std::vector<launch_record> launch_log();
// Drops the records of every launch submitted before this call.
void clear_launch_log();

namespace detail {

// Where a work-item sits in its launch.
struct item_coords {
  std::size_t group[2];
  std::size_t group_range[2];
  std::size_t local_id[2];
  std::size_t local_range[2];
};

struct kernel_launch {
  const std::string* name;  // unqualified kernel name; lives as long as the process
  std::size_t global[2];
  std::size_t local[2];
  // Runs one work-item. Called on a fiber; may call barrier() and the access hooks.
  std::function<void(const item_coords&)> body;
};

// Enqueues a launch whose ranges the caller has validated (a non-empty global range is divided
// evenly by the local range; an empty one runs nothing);
// returns its sequence number. Never blocks on earlier launches.
std::uint64_t submit(kernel_launch launch);
// Waits until launch `seq` and every launch before it have run, then throws the earliest
// unreported failure among them.
void wait_for(std::uint64_t seq);

// ---- hooks for the device API ------------------------------------------------------------------

enum class access : std::uint8_t { read, write };

// A read a device thread has checked, and counted as distinct bytes, in the current launch.
struct checked_read {
  std::uintptr_t start = 0;
  std::uint32_t bytes = 0;  // 0: none
  std::uint32_t alloc = 0;  // index of its allocation in the launch
};
// Entries of a thread's checked reads, direct-mapped on 256-byte blocks: the 8 input rows of
// 11008 features that every work-group of a linear kernel reads again fit without collisions.
constexpr std::size_t kCheckedReads = 1024;

// An allocation a device thread's accesses hit recently, for the inline checks of its accesses.
struct hot_allocation {
  std::uintptr_t start = 0;
  std::size_t bytes = 0;           // 0: empty slot
  std::uint32_t alloc = 0;         // index of the allocation in the launch
  std::uint64_t* lines = nullptr;  // the thread's bitmap of whole 64-byte lines loaded, once made
};
// Slots of a thread's hot allocations: kernels alternate between a few buffers.
constexpr std::size_t kHotAllocations = 4;

// Sets bits [first, end) of a plain bitmap (a thread's own: no other thread writes it).
inline void set_bits(std::uint64_t* bits, std::size_t first, std::size_t end) {
  while (first < end) {
    const std::size_t n = std::min<std::size_t>(64 - first % 64, end - first);
    bits[first / 64] |= (n == 64 ? ~0ull : ((1ull << n) - 1)) << (first % 64);
    first += n;
  }
}

// What the hooks below need on their fast paths, kept per device thread by the executor for the
// work-group it runs (null on other threads and between launches).
struct hook_state {
  bool slow_global;        // global accesses are checked or counted, or the launch has a time limit
  bool slow_slm;           // SLM accesses count towards a time limit
  std::byte* slm;          // the group's shared local memory
  std::uint32_t slm_size;  // bytes reserved by slm_init (0 before)
  // This thread's checked reads (kCheckedReads entries) and load counters by allocation, while
  // checking without a time limit (null otherwise): a read found there again, as kernels re-read
  // shared rows, is only counted.
  const checked_read* checked_reads;
  std::uint64_t* loads;
  // Under the same conditions: the thread's hot allocations (kHotAllocations slots, kept by the
  // checker) and store counters. An access inside one of them is counted inline, and a read of
  // whole lines marked in the thread's bitmap; anything else takes the checker's call.
  const hot_allocation* hot;
  std::uint64_t* stores;
};
// Initial-exec TLS: one register-relative load, no call, on every access.
extern thread_local const hook_state* tl_hooks __attribute__((tls_model("initial-exec")));

void global_access_slow(const void* p, std::size_t bytes, std::size_t align, access kind,
                        const char* op);
std::byte* slm_access_slow(std::uint32_t offset, std::size_t bytes, std::size_t align, access kind,
                           const char* op);

// Every global-memory access of a kernel. Checks that [p, p + bytes) lies inside one live
// allocation and that p is a multiple of `align`, and counts the bytes. Does nothing outside a
// kernel or while checking is off. `op` names the operation in messages (e.g. "block load").
inline void global_access(const void* p, std::size_t bytes, std::size_t align, access kind,
                          const char* op) {
  const hook_state* h = tl_hooks;
  if (!h || !h->slow_global) return;
  const auto a = reinterpret_cast<std::uintptr_t>(p);
  if (h->hot && (align <= 1 || a % align == 0)) {
    if (kind == access::read) {
      const checked_read& seen = h->checked_reads[(a >> 8) % kCheckedReads];
      if (seen.start == a && seen.bytes == bytes) {
        h->loads[seen.alloc] += bytes;
        return;
      }
    }
    for (std::size_t j = 0; j < kHotAllocations; ++j) {
      const hot_allocation& al = h->hot[j];
      if (a - al.start >= al.bytes || bytes > al.start + al.bytes - a) continue;
      if (kind == access::write) {
        h->stores[al.alloc] += bytes;
        return;
      }
      const std::size_t first = a - al.start;
      if (!al.lines || (first | bytes) % 64 != 0) break;
      set_bits(al.lines, first / 64, (first + bytes) / 64);
      h->loads[al.alloc] += bytes;
      return;
    }
  }
  global_access_slow(p, bytes, align, kind, op);
}

// Reserves `bytes` of shared local memory for the calling work-item's group (at most 64 KiB; every
// work-item of a group must ask for the same size). Returns the base of the group's SLM.
std::byte* slm_init(std::uint32_t bytes);
// Checks an SLM access of `bytes` at byte `offset` (inside the slm_init size, offset a multiple
// of `align`) and returns its address. The bounds are checked whether checking is on or not: the
// buffer is the emulator's own.
inline std::byte* slm_access(std::uint32_t offset, std::size_t bytes, std::size_t align,
                             access kind, const char* op) {
  const hook_state* h = tl_hooks;
  if (h && !h->slow_slm && std::uint64_t{offset} + bytes <= h->slm_size &&
      (offset & (align - 1)) == 0)
    return h->slm + offset;
  return slm_access_slow(offset, bytes, align, kind, op);
}
// Work-group barrier at source line `line` of `file`: returns when every work-item of the group has
// reached the same barrier.
void barrier(const char* file, unsigned line);

}  // namespace detail
}  // namespace xpuemu
