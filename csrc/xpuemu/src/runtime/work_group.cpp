// Work-groups: each runs on one thread with a fiber per work-item (reused group after group),
// barriers that wait for the whole group, shared local memory, the access hooks and the guards
// against stack overflows and launches past their time limit.
#include "work_group.hpp"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <boost/context/fiber.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <ratio>
#include <type_traits>
#include <vector>

#include "fiber_switch.hpp"

namespace xpuemu::detail {
namespace {

namespace ctx = boost::context;

constexpr std::size_t kGuardBytes = 64 * 1024;     // inaccessible bytes below each fiber stack
constexpr std::size_t kAltStackBytes = 64 * 1024;  // signal stack of each device thread

// Usable stack of one work-item: 256 KiB unless XPUEMU_STACK_BYTES says otherwise (rounded up to
// whole pages, at least 16 KiB).
std::size_t stack_bytes() {
  static const std::size_t bytes = [] {
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const char* env = std::getenv("XPUEMU_STACK_BYTES");
    const long long v = env ? std::atoll(env) : 0;
    const std::size_t want = v > 0 && v <= (1ll << 30) ? static_cast<std::size_t>(v) : 256 * 1024;
    return (std::max<std::size_t>(want, 16 * 1024) + page - 1) / page * page;
  }();
  return bytes;
}

// Bytes of shared local memory per work-group: 64 KiB unless XPUEMU_SLM_BYTES says otherwise.
std::uint32_t slm_capacity() {
  static const std::uint32_t bytes = [] {
    const char* env = std::getenv("XPUEMU_SLM_BYTES");
    const long v = env ? std::atol(env) : 0;
    return v > 0 && v <= (16l << 20) ? static_cast<std::uint32_t>(v) : 64u * 1024;
  }();
  return bytes;
}

// A violation inside a work-item; ends the work-item's group and the launch.
struct kernel_fault {
  std::string message;
};

// ---- stacks -------------------------------------------------------------------------------------

// Guard-page stacks of one worker thread, created on first use and reused by every fiber.
class stack_pool {
 public:
  ctx::stack_context take() {
    if (!free_.empty()) {
      ctx::stack_context sc = free_.back();
      free_.pop_back();
      return sc;
    }
    // One page more than the stack: successive stacks start at different offsets within it (64
    // colours of 64 bytes), so that the work-items' frames fall into different cache sets
    // instead of all into the same ones.
    const std::size_t total = stack_bytes() + kGuardBytes + 4096;
    void* base = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) throw std::bad_alloc();
    // An overflow faults on the guard pages instead of corrupting a neighbour; the fault handler
    // below turns it into the work-item's failure.
    if (::mprotect(base, kGuardBytes, PROT_NONE) != 0) {
      ::munmap(base, total);
      throw std::bad_alloc();
    }
    const std::size_t colour = (created_++ % 64) * 64;
    ctx::stack_context sc;
    sc.size = total - colour;
    sc.sp = static_cast<char*>(base) + total - colour;
    return sc;
  }
  void give(ctx::stack_context sc) { free_.push_back(sc); }

 private:
  std::vector<ctx::stack_context> free_;
  std::size_t created_ = 0;
};

thread_local stack_pool tl_stacks;

stack_bounds bounds_of(const ctx::stack_context& sc) {
  return {static_cast<const char*>(sc.sp) - sc.size, sc.size};
}

// Boost.Context stack allocator drawing from the calling thread's pool. A group's fibers are
// created and destroyed on the same thread. `bounds` receives the stack handed out.
struct pooled_stack {
  stack_bounds* bounds;
  ctx::stack_context allocate() {
    ctx::stack_context sc = tl_stacks.take();
    *bounds = bounds_of(sc);
    return sc;
  }
  void deallocate(ctx::stack_context& sc) noexcept {
    forget_stack(bounds_of(sc));
    tl_stacks.give(sc);
  }
};

// ---- launches, groups, work-items ---------------------------------------------------------------

struct group_ctx;

struct item_ctx {
  item_coords coords;
  group_ctx* group = nullptr;
  ctx::fiber fiber;         // the work-item while suspended
  ctx::fiber sink;          // the group scheduler while the work-item runs
  stack_bounds stack;       // the work-item's stack, guard pages included
  stack_bounds sink_stack;  // the scheduler's stack
  bool at_barrier = false;
  bool done = false;
  const char* barrier_file = nullptr;  // where the work-item waits, while at_barrier
  unsigned barrier_line = 0;
};

struct group_ctx {
  launch_ctx* launch = nullptr;
  // Work-item slots, reused by group after group: a slot's fiber runs one work-item after another.
  // A deque, so that growing it leaves the slots (which fibers refer to) in place.
  std::deque<item_ctx> items;
  std::unique_ptr<std::byte[]> slm = std::make_unique<std::byte[]>(slm_capacity());
  std::uint32_t slm_size = 0;
  bool slm_reserved = false;
  std::uint64_t barriers = 0;
  std::uint32_t ticks = 0;            // accesses since the clock was last read
  hook_state hooks{};                 // the hooks' view of this group
  std::string fault;                  // first violation of the group
  thread_traffic* traffic = nullptr;  // this thread's counters for the launch
};

thread_local item_ctx* tl_item __attribute__((tls_model("initial-exec"))) = nullptr;

std::string coords_text(const std::size_t* v) {
  return "(" + std::to_string(v[0]) + ", " + std::to_string(v[1]) + ")";
}

// "kernel K, work-group (g0, g1), work-item (l0, l1)"
std::string item_text(const item_ctx& it) {
  return "kernel " + *it.group->launch->kernel->name + ", work-group " +
         coords_text(it.coords.group) + ", work-item " + coords_text(it.coords.local_id);
}

// "<what> in kernel K, work-group (g0, g1), work-item (l0, l1)<: where>"
[[noreturn]] void fail(const item_ctx& it, const std::string& what, const std::string& where) {
  std::string msg = what + " in " + item_text(it);
  if (!where.empty()) msg += ": " + where;
  throw kernel_fault{std::move(msg)};
}

// "file.cpp:42", where the work-item waits at a barrier.
std::string site_text(const item_ctx& it) {
  const char* slash = std::strrchr(it.barrier_file, '/');
  return std::string(slash ? slash + 1 : it.barrier_file) + ":" + std::to_string(it.barrier_line);
}

item_ctx& current_item(const char* op) {
  if (!tl_item) throw std::logic_error(std::string(op) + " called outside a kernel");
  return *tl_item;
}

// Fails the work-item once its launch has run past its time limit. The clock is read at every
// barrier and every 1024th memory access.
void check_time(item_ctx& it, bool at_barrier) {
  const launch_ctx& launch = *it.group->launch;
  if (launch.deadline_ns == 0 || (!at_barrier && (++it.group->ticks & 1023) != 0)) return;
  if (now_ns() <= launch.deadline_ns) return;
  char limit[32];
  std::snprintf(limit, sizeof limit, "%g", static_cast<double>(launch.timeout_ns) * 1e-9);
  fail(it, "time limit exceeded",
       std::string("the launch ran longer than its limit of ") + limit +
           " s (XPUEMU_LAUNCH_TIMEOUT_S)");
}

// ---- stack overflow ----------------------------------------------------------------------------

struct sigaction g_previous_segv;  // the handler ours replaced, for faults that are not overflows

// Where the context of an abandoned work-item is parked: destroying it would resume it.
thread_local std::aligned_storage_t<sizeof(ctx::fiber), alignof(ctx::fiber)> tl_abandoned;

// A fault in the guard pages of the running work-item's stack is a stack overflow: the handler
// (on the thread's signal stack) leaves for the group's scheduler as if the work-item had ended,
// abandoning its stack unwound, and the group fails. Other faults go to the previous handler.
void on_segv(int sig, siginfo_t* info, void* context) {
  item_ctx* it = tl_item;
  const auto addr = reinterpret_cast<std::uintptr_t>(info->si_addr);
  const auto guard = it ? reinterpret_cast<std::uintptr_t>(it->stack.bottom) : 0;
  if (it && addr >= guard && addr - guard < kGuardBytes) {
    tl_item = nullptr;
    start_switch(nullptr, it->sink_stack);  // this context never resumes
    std::move(it->sink).resume_with([it](ctx::fiber&& fault) {
      new (&tl_abandoned) ctx::fiber(std::move(fault));
      it->done = true;
      it->group->fault = "stack overflow in " + item_text(*it) + ": the work-item used more than " +
                         std::to_string(stack_bytes()) + " bytes of stack (XPUEMU_STACK_BYTES)";
      return ctx::fiber();
    });
  }
  if (g_previous_segv.sa_flags & SA_SIGINFO) {
    g_previous_segv.sa_sigaction(sig, info, context);
  } else if (g_previous_segv.sa_handler != SIG_DFL && g_previous_segv.sa_handler != SIG_IGN) {
    g_previous_segv.sa_handler(sig);
  } else {
    ::signal(SIGSEGV, SIG_DFL);  // the access faults again and ends the process as it would have
  }
}

// Unwinds the stack of a work-item suspended at a barrier, if it is.
void end_item(item_ctx& it) {
  if (!it.fiber) return;
  fiber_switch to_item(it.stack);
  it.fiber = ctx::fiber();
}

// Runs every work-item of group (g0, g1) to completion, one fiber each, releasing barriers when
// the whole group has reached them. Returns the group's violation, if any.
void run_group(launch_ctx& launch, group_ctx& group, std::size_t g0, std::size_t g1) {
  const kernel_launch& k = *launch.kernel;
  const std::size_t n = k.local[0] * k.local[1];
  group.launch = &launch;
  if (group.items.size() < n) group.items.resize(n);
  const auto first = group.items.begin();
  const auto last = first + static_cast<std::ptrdiff_t>(n);
  group.slm_size = 0;
  group.slm_reserved = false;
  group.hooks.slm = group.slm.get();
  group.hooks.slm_size = 0;
  group.barriers = 0;
  group.fault.clear();
  for (std::size_t i = 0; i < n; ++i) {
    item_ctx& it = group.items[i];
    it.coords = {{g0, g1},
                 {launch.groups[0], launch.groups[1]},
                 {i / k.local[1], i % k.local[1]},
                 {k.local[0], k.local[1]}};
    it.group = &group;
    it.at_barrier = false;
    it.done = false;
    it.barrier_file = "";
    it.barrier_line = 0;
  }

  // A slot's fiber is created when its first work-item runs, so that every fiber torn down has
  // entered its function (whose switches are annotated for ASan, unlike Boost's entry code). It
  // then runs the slot's work-items of every later group of the thread, suspending itself after
  // each, so that a work-item costs two switches and no fiber creation.
  auto start_item = [](item_ctx& it) {
    it.fiber = ctx::fiber(std::allocator_arg, pooled_stack{&it.stack}, [&it](ctx::fiber&& sink) {
      finish_switch(nullptr, &it.sink_stack);
      it.sink = std::move(sink);
      for (;;) {
        try {
          it.group->launch->kernel->body(it.coords);
        } catch (const ctx::detail::forced_unwind&) {
          start_switch(nullptr, it.sink_stack);
          throw;  // a suspended work-item being torn down
        } catch (const kernel_fault& f) {
          it.group->fault = f.message;
        } catch (const std::exception& e) {
          it.group->fault = "exception in " + item_text(it) + ": " + e.what();
        } catch (...) {
          it.group->fault = "exception of unknown type in " + item_text(it);
        }
        it.done = true;
        try {
          fiber_switch to_scheduler(it.sink_stack, &it.sink_stack);
          it.sink = std::move(it.sink).resume();
        } catch (const ctx::detail::forced_unwind&) {
          start_switch(nullptr, it.sink_stack);
          throw;  // an idle slot being torn down
        }
      }
      return std::move(it.sink);  // not reached: the fiber ends by being torn down
    });
  };

  for (;;) {
    // Between barriers the work-items run one after another, in ascending order in even phases
    // and descending order in odd ones: a kernel that relies on an order the hardware does not
    // promise (a missing barrier) then computes a visibly wrong result, the same on every run.
    const bool descending = group.barriers % 2 == 1;
    for (std::size_t i = 0; i < n; ++i) {
      item_ctx& it = group.items[descending ? n - 1 - i : i];
      if (it.done) continue;
      it.at_barrier = false;
      if (!it.fiber) start_item(it);
      tl_item = &it;
      {
        fiber_switch to_item(it.stack);
        it.fiber = std::move(it.fiber).resume();
      }
      tl_item = nullptr;
      if (!group.fault.empty()) break;
    }
    if (!group.fault.empty()) break;
    std::size_t waiting = 0;
    const item_ctx* returned = nullptr;
    for (auto i = first; i != last; ++i) {
      const item_ctx& it = *i;
      if (it.at_barrier) {
        ++waiting;
      } else if (!returned) {
        returned = &it;
      }
    }
    if (waiting == 0) break;  // every work-item returned
    const item_ctx& w =
        *std::find_if(first, last, [](const item_ctx& it) { return it.at_barrier; });
    if (returned) {
      group.fault = "barrier divergence in kernel " + *k.name + ", work-group " +
                    coords_text(w.coords.group) + ": " + std::to_string(waiting) + " of " +
                    std::to_string(n) + " work-items wait at barrier " +
                    std::to_string(group.barriers + 1) + " (first: work-item " +
                    coords_text(w.coords.local_id) + ") while work-item " +
                    coords_text(returned->coords.local_id) + " has returned";
      break;
    }
    const auto other = std::find_if(first, last, [&](const item_ctx& it) {
      return it.barrier_line != w.barrier_line ||
             (it.barrier_file != w.barrier_file &&
              std::strcmp(it.barrier_file, w.barrier_file) != 0);
    });
    if (other != last) {
      group.fault = "barrier divergence in kernel " + *k.name + ", work-group " +
                    coords_text(w.coords.group) + ": work-items wait at different barriers " +
                    std::to_string(group.barriers + 1) + ": work-item " +
                    coords_text(w.coords.local_id) + " at " + site_text(w) + ", work-item " +
                    coords_text(other->coords.local_id) + " at " + site_text(*other);
      break;
    }
    ++group.barriers;
  }
  // Tear down work-items still suspended at a barrier (their stacks unwind); the other slots keep
  // their fibers for the next group.
  for (auto i = first; i != last; ++i)
    if (i->at_barrier) end_item(*i);
  launch.barriers.fetch_add(group.barriers, std::memory_order_relaxed);
}

}  // namespace

// Launch times: nanoseconds of std::chrono::steady_clock, which libstdc++ reads from
// CLOCK_MONOTONIC on Linux, the clock of Python's time.monotonic_ns().
using device_clock = std::chrono::steady_clock;
static_assert(device_clock::is_steady && std::is_same_v<device_clock::period, std::nano>,
              "launch times are nanoseconds of a monotonic clock");

std::uint64_t now_ns() {
  return static_cast<std::uint64_t>(device_clock::now().time_since_epoch().count());
}

void install_overflow_handler() {
  struct sigaction sa {};
  sa.sa_sigaction = &on_segv;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;  // SIGSEGV stays unblocked after leaving
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGSEGV, &sa, &g_previous_segv);
}

void give_signal_stack() {
  stack_t ss{};
  ss.ss_sp =
      ::mmap(nullptr, kAltStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (ss.ss_sp == MAP_FAILED) return;  // overflows then end the process, as without the handler
  ss.ss_size = kAltStackBytes;
  ::sigaltstack(&ss, nullptr);
}

// Runs groups of `launch` on the calling thread until none is left.
void run_groups(launch_ctx& launch) {
  thread_local std::unique_ptr<group_ctx> group(new group_ctx);
  // Allocated once per thread: a buffer made per launch would be placed among the launch log's
  // records, which outlive it, and fragment the heap by its size per launch.
  thread_local std::unique_ptr<checked_read[]> checked_reads(new checked_read[kCheckedReads]);
  thread_traffic traffic;
  if (launch.checker) {
    traffic = launch.checker->new_traffic();
    std::fill_n(checked_reads.get(), kCheckedReads, checked_read{});
    traffic.checked = checked_reads.get();
  }
  group->traffic = &traffic;
  group->hooks.slow_global = launch.checker || launch.deadline_ns != 0;
  group->hooks.slow_slm = launch.deadline_ns != 0;
  // Accesses are counted inline only without a time limit: with one, every access ticks.
  const bool inline_counts = launch.checker && launch.deadline_ns == 0;
  group->hooks.checked_reads = inline_counts ? traffic.checked : nullptr;
  group->hooks.loads = inline_counts ? traffic.loads.data() : nullptr;
  group->hooks.hot = inline_counts ? traffic.hot : nullptr;
  group->hooks.stores = inline_counts ? traffic.stores.data() : nullptr;
  tl_hooks = &group->hooks;
  const std::size_t total = launch.groups[0] * launch.groups[1];
  for (;;) {
    const std::size_t g = launch.next_group.fetch_add(1, std::memory_order_relaxed);
    if (g >= total || g >= launch.stop_at.load(std::memory_order_relaxed)) break;
    try {
      run_group(launch, *group, g / launch.groups[1], g % launch.groups[1]);
    } catch (const std::exception& e) {  // the host failed to run the group (no memory)
      for (item_ctx& it : group->items) end_item(it);
      const std::size_t at[2] = {g / launch.groups[1], g % launch.groups[1]};
      group->fault = "kernel " + *launch.kernel->name + ", work-group " + coords_text(at) +
                     " could not run on the host: " + e.what();
    }
    if (!group->fault.empty()) {
      // Keep the failure of the lowest group, so the message does not depend on the threads.
      std::lock_guard<std::mutex> lock(launch.fault_mutex);
      if (g < launch.fault_group) {
        launch.fault_group = g;
        launch.fault = group->fault;
        launch.stop_at.store(g, std::memory_order_relaxed);
      }
    }
  }
  group->traffic = nullptr;
  tl_hooks = nullptr;
  if (launch.checker) launch.checker->merge(traffic);
}

// ---- hooks for the device API ------------------------------------------------------------------

thread_local const hook_state* tl_hooks = nullptr;

void global_access_slow(const void* p, std::size_t bytes, std::size_t align, access kind,
                        const char* op) {
  item_ctx* it = tl_item;
  if (!it) return;
  check_time(*it, false);
  launch_checker* checker = it->group->launch->checker.get();
  if (!checker) return;
  if (!checker->check(p, bytes, align, kind, *it->group->traffic)) {
    const fault_text f = checker->describe(p, bytes, align, kind, op);
    fail(*it, f.what, f.where);
  }
}

std::byte* slm_init(std::uint32_t bytes) {
  item_ctx& it = current_item("slm_init");
  group_ctx& g = *it.group;
  if (bytes > slm_capacity())
    fail(it, "slm_init of " + std::to_string(bytes) + " bytes",
         "exceeds the " + std::to_string(slm_capacity()) + " bytes of shared local memory");
  if (g.slm_reserved) {
    if (bytes != g.slm_size)
      fail(it, "slm_init of " + std::to_string(bytes) + " bytes",
           "another work-item of the group reserved " + std::to_string(g.slm_size) + " bytes");
    return g.slm.get();
  }
  g.slm_reserved = true;
  g.slm_size = bytes;
  g.hooks.slm_size = bytes;
  if (g.launch->poison) std::memset(g.slm.get(), 0xFF, bytes);
  g.launch->slm_bytes.store(bytes, std::memory_order_relaxed);
  return g.slm.get();
}

std::byte* slm_access_slow(std::uint32_t offset, std::size_t bytes, std::size_t align, access kind,
                           const char* op) {
  item_ctx& it = current_item(op);
  check_time(it, false);
  const group_ctx& g = *it.group;
  const std::uint64_t end = static_cast<std::uint64_t>(offset) + bytes;
  if (end > g.slm_size || (align > 1 && offset % align != 0)) {
    const std::string what = std::string(kind == access::read ? "read" : "write") + " of " +
                             std::to_string(bytes) + " bytes by " + op;
    if (end > g.slm_size)
      fail(it, "invalid SLM " + what,
           "SLM offsets [" + std::to_string(offset) + ", " + std::to_string(end) + ") exceed the " +
               std::to_string(g.slm_size) + " bytes reserved by slm_init");
    fail(it, "misaligned SLM " + what,
         "SLM offset " + std::to_string(offset) + " is not " + std::to_string(align) +
             "-byte aligned");
  }
  return g.slm.get() + offset;
}

void barrier(const char* file, unsigned line) {
  item_ctx& it = current_item("barrier");
  check_time(it, true);
  it.at_barrier = true;
  it.barrier_file = file;
  it.barrier_line = line;
  fiber_switch to_scheduler(it.sink_stack, &it.sink_stack);
  it.sink = std::move(it.sink).resume();
}

}  // namespace xpuemu::detail
