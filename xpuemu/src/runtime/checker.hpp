// The memory checker: the registry of live allocations and the per-launch observer that checks
// and counts every global access. The executor owns launches and work-items; it calls the
// checker through this interface only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "xpuemu/runtime.hpp"

namespace xpuemu::detail {

// A live allocation as a launch sees it.
struct allocation {
  std::uintptr_t start;
  std::size_t bytes;
};

// Throws in a child process forked after the device started (the executor knows).
void check_not_forked();

// Registry of device allocations. Thread-safe.
namespace registry {
// Registers [p, p + bytes).
void add(void* p, std::size_t bytes);
// Marks `p` freed: launches up to `last_user` (a launch sequence number) may still use it; it is
// released to the host once launch `last_user` has completed (see release_until).
void retire(void* p, std::uint64_t last_user);
// Releases every retired allocation whose last user has completed.
void release_until(std::uint64_t completed);
// The allocations launch `seq` may use, sorted by start address.
std::vector<allocation> snapshot(std::uint64_t seq);
}  // namespace registry

// Traffic of one thread during one launch.
struct thread_traffic {
  std::vector<std::uint64_t> loads;   // bytes by allocation index
  std::vector<std::uint64_t> stores;  // bytes by allocation index
  std::size_t recent[4] = {};         // allocation indices of recent hits (kernels alternate
  unsigned next_recent = 0;           // between a few buffers), replaced round-robin
  // Reads already checked (kCheckedReads entries, by address; the thread's own buffer, emptied
  // for each launch): a kernel reading the same rows again, as every work-group of a linear
  // kernel reads the input, then only counts the bytes.
  checked_read* checked = nullptr;
};

// A violation: `what` happened (operation, size) and `where` (address range, allocation).
struct fault_text {
  std::string what;
  std::string where;
  explicit operator bool() const { return !what.empty(); }
};

// Checks and counts the global accesses of one launch. Work-items call check() concurrently from
// the worker threads, each with its own thread_traffic.
class launch_checker {
 public:
  explicit launch_checker(std::vector<allocation> allocations);
  ~launch_checker();

  thread_traffic new_traffic() const;
  // Counts a valid access; describes an invalid one.
  fault_text check(const void* p, std::size_t bytes, std::size_t align, access kind, const char* op,
                   thread_traffic& traffic);
  // Adds a finished thread's traffic to the totals.
  void merge(const thread_traffic& traffic);
  // Writes the totals into the launch record.
  void report(launch_record& record) const;

 private:
  fault_text describe(std::uintptr_t a, std::size_t bytes, std::size_t align, access kind,
                      const char* op, std::size_t i) const;

  std::vector<allocation> allocs_;
  std::mutex merge_mutex_;
  std::vector<std::uint64_t> loads_, stores_;
  // Which bytes of each allocation were loaded (created on its first load).
  struct loaded_map;
  std::unique_ptr<loaded_map[]> loaded_;
};

}  // namespace xpuemu::detail
