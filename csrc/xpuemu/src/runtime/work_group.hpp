// Running the work-groups of a launch: each work-group on one thread, its work-items as fibers
// (so barriers really wait), with its shared local memory, the hooks behind the device API's
// accesses and barriers, and the guards that turn a work-item's stack overflow or a launch past its
// time limit into the launch's failure. The queue shares a launch with its threads through this.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <string>

#include "checker.hpp"
#include "xpuemu/runtime.hpp"

namespace xpuemu::detail {

// Nanoseconds of std::chrono::steady_clock (CLOCK_MONOTONIC, the clock of Python's
// time.monotonic_ns()): launch times and time limits.
std::uint64_t now_ns();

// One launch as the threads running its work-groups share it.
struct launch_ctx {
  const kernel_launch* kernel = nullptr;
  std::size_t groups[2] = {0, 0};
  bool poison = false;
  std::uint64_t timeout_ns = 0;             // time limit (0: none)
  std::uint64_t deadline_ns = 0;            // when the time limit runs out
  std::unique_ptr<launch_checker> checker;  // null while checking is off
  std::atomic<std::size_t> next_group{0};
  std::atomic<std::size_t> stop_at{std::numeric_limits<std::size_t>::max()};
  std::atomic<std::uint64_t> barriers{0};
  std::atomic<std::uint32_t> slm_bytes{0};
  std::mutex fault_mutex;
  std::size_t fault_group = std::numeric_limits<std::size_t>::max();
  std::string fault;
};

// Runs work-groups of `launch` on the calling thread until none is left; the first failure (of the
// lowest failing work-group) lands in launch.fault.
void run_groups(launch_ctx& launch);

// Installs, once per process, the fault handler that turns a work-item's stack overflow into its
// failure; other faults go on to the handler installed before.
void install_overflow_handler();
// Gives the calling thread the signal stack that handler needs; every thread that runs work-groups
// calls it once.
void give_signal_stack();

}  // namespace xpuemu::detail
