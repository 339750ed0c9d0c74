// The memory checker: the per-launch observer that checks and counts every global access against
// the allocations the launch may use (device_memory.hpp). The executor owns launches and
// work-items; it calls the checker through this interface only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device_memory.hpp"
#include "xpuemu/runtime.hpp"

namespace xpuemu::detail {

// The 64-byte lines of one allocation a thread loaded whole during a launch: a bitmap of its own,
// so that marking needs no atomic operation and shares no cache line with the other threads.
class line_bitmap {
 public:
  line_bitmap() = default;
  line_bitmap(line_bitmap&& o) noexcept : bits_(o.bits_), bytes_(o.bytes_) { o.bits_ = nullptr; }
  line_bitmap& operator=(line_bitmap&& o) noexcept;
  ~line_bitmap();
  // The zeroed bitmap for an allocation of `size` bytes, created on first use.
  std::uint64_t* get(std::size_t size) { return bits_ ? bits_ : create(size); }
  const std::uint64_t* peek() const { return bits_; }

 private:
  std::uint64_t* create(std::size_t size);

  std::uint64_t* bits_ = nullptr;
  std::size_t bytes_ = 0;
};

// Traffic of one thread during one launch.
struct thread_traffic {
  std::vector<std::uint64_t> loads;     // bytes by allocation index
  std::vector<std::uint64_t> stores;    // bytes by allocation index
  std::vector<line_bitmap> lines;       // whole lines loaded, by allocation index
  hot_allocation hot[kHotAllocations];  // allocations of recent hits, replaced round-robin
  unsigned next_hot = 0;
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
  // Counts a valid access and returns true; returns false for an invalid one (see describe).
  bool check(const void* p, std::size_t bytes, std::size_t align, access kind,
             thread_traffic& traffic);
  // Describes an access that check() refused; `op` names the operation.
  fault_text describe(const void* p, std::size_t bytes, std::size_t align, access kind,
                      const char* op) const;
  // Adds a finished thread's traffic to the totals.
  void merge(const thread_traffic& traffic);
  // Writes the totals into the launch record.
  void report(launch_record& record) const;

 private:
  // Index of the allocation at or below address a (allocs_.size() if none).
  std::size_t below(std::uintptr_t a) const;

  std::vector<allocation> allocs_;
  std::mutex merge_mutex_;
  std::vector<std::uint64_t> loads_, stores_;
  // Which bytes of each allocation were loaded (created on its first load).
  struct loaded_map;
  std::unique_ptr<loaded_map[]> loaded_;
};

}  // namespace xpuemu::detail
