// The executor: the device's in-order queue, the worker threads that run launches, work-groups
// whose work-items run as fibers on one thread (so barriers really wait), shared local memory,
// the launch log and the asynchronous failures; the guards that turn a work-item's stack overflow,
// a launch that runs too long and a fork into errors.
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/context/fiber.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <ratio>
#include <thread>
#include <type_traits>

#include "checker.hpp"
#include "fiber_switch.hpp"

namespace xpuemu {
namespace detail {
namespace {

namespace ctx = boost::context;

constexpr std::size_t kLogCapacity = 10000;       // launch records kept
constexpr std::size_t kGuardBytes = 64 * 1024;    // inaccessible bytes below each fiber stack
constexpr std::size_t kAltStackBytes = 64 * 1024;  // signal stack of each device thread
constexpr std::uint64_t kSpinNs = 100000;          // the idle worker spins this long, then sleeps

std::atomic<bool> g_checking{true};

// Set in a child forked after the device's threads started: they do not exist there.
std::atomic<bool> g_forked{false};

[[noreturn]] void forked_device() {
  throw std::runtime_error(
      "the XPU device cannot be used in a process forked after it was initialised (fork before "
      "using the device, or start the child with the 'spawn' method)");
}

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

// Time limit of one launch in nanoseconds (0: none); XPUEMU_LAUNCH_TIMEOUT_S sets the initial value.
std::atomic<std::uint64_t> g_timeout_ns{[] {
  const char* env = std::getenv("XPUEMU_LAUNCH_TIMEOUT_S");
  const double s = env ? std::atof(env) : 0.0;
  return s > 0 ? static_cast<std::uint64_t>(s * 1e9) : std::uint64_t{0};
}()};

// Called by waits about every 50 ms; may throw to abandon the wait.
std::atomic<void (*)()> g_wait_hook{nullptr};

// Launch times: nanoseconds of std::chrono::steady_clock, which libstdc++ reads from
// CLOCK_MONOTONIC on Linux, the clock of Python's time.monotonic_ns().
using device_clock = std::chrono::steady_clock;
static_assert(device_clock::is_steady && std::is_same_v<device_clock::period, std::nano>,
              "launch times are nanoseconds of a monotonic clock");

std::uint64_t now_ns() {
  return static_cast<std::uint64_t>(device_clock::now().time_since_epoch().count());
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
    const std::size_t total = stack_bytes() + kGuardBytes;
    void* base = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) throw std::bad_alloc();
    // An overflow faults on the guard pages instead of corrupting a neighbour; the fault handler
    // below turns it into the work-item's failure.
    if (::mprotect(base, kGuardBytes, PROT_NONE) != 0) {
      ::munmap(base, total);
      throw std::bad_alloc();
    }
    ctx::stack_context sc;
    sc.size = total;
    sc.sp = static_cast<char*>(base) + total;
    return sc;
  }
  void give(ctx::stack_context sc) { free_.push_back(sc); }

 private:
  std::vector<ctx::stack_context> free_;
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

struct launch_ctx;
struct group_ctx;

struct item_ctx {
  item_coords coords;
  group_ctx* group = nullptr;
  ctx::fiber fiber;  // the work-item while suspended
  ctx::fiber sink;   // the group scheduler while the work-item runs
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

thread_local item_ctx* tl_item __attribute__((tls_model("initial-exec"))) = nullptr;

std::string coords_text(const std::size_t* v) {
  return "(" + std::to_string(v[0]) + ", " + std::to_string(v[1]) + ")";
}

// "kernel K, work-group (g0, g1), work-item (l0, l1)"
std::string item_text(const item_ctx& it) {
  return "kernel " + it.group->launch->kernel->name + ", work-group " +
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

void install_overflow_handler() {
  struct sigaction sa {};
  sa.sa_sigaction = &on_segv;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;  // SIGSEGV stays unblocked after leaving
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGSEGV, &sa, &g_previous_segv);
}

// Gives the calling device thread a signal stack, so that the handler can run when a fiber's stack
// is exhausted.
void give_signal_stack() {
  stack_t ss{};
  ss.ss_sp = ::mmap(nullptr, kAltStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                    -1, 0);
  if (ss.ss_sp == MAP_FAILED) return;  // overflows then end the process, as without the handler
  ss.ss_size = kAltStackBytes;
  ::sigaltstack(&ss, nullptr);
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
    const item_ctx& w = *std::find_if(first, last,
                                      [](const item_ctx& it) { return it.at_barrier; });
    if (returned) {
      group.fault = "barrier divergence in kernel " + k.name + ", work-group " +
                    coords_text(w.coords.group) + ": " + std::to_string(waiting) + " of " +
                    std::to_string(n) + " work-items wait at barrier " +
                    std::to_string(group.barriers + 1) + " (first: work-item " +
                    coords_text(w.coords.local_id) + ") while work-item " +
                    coords_text(returned->coords.local_id) + " has returned";
      break;
    }
    const auto other = std::find_if(first, last, [&](const item_ctx& it) {
      return it.barrier_line != w.barrier_line ||
             (it.barrier_file != w.barrier_file && std::strcmp(it.barrier_file, w.barrier_file) != 0);
    });
    if (other != last) {
      group.fault = "barrier divergence in kernel " + k.name + ", work-group " +
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

// Runs groups of `launch` on the calling thread until none is left.
void run_groups(launch_ctx& launch) {
  thread_local std::unique_ptr<group_ctx> group(new group_ctx);
  thread_traffic traffic;
  if (launch.checker) traffic = launch.checker->new_traffic();
  group->traffic = &traffic;
  group->hooks.slow_global = launch.checker || launch.deadline_ns != 0;
  group->hooks.slow_slm = launch.deadline_ns != 0;
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
      group->fault = "kernel " + launch.kernel->name + ", work-group " + coords_text(at) +
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

// ---- the queue ----------------------------------------------------------------------------------

class device_queue {
 public:
  static device_queue& get() {
    static device_queue* q = new device_queue;  // never destroyed: threads run until exit
    return *q;
  }

  std::uint64_t submit(kernel_launch k) {
    if (g_forked.load()) forked_device();
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uint64_t seq = ++submitted_;
    launch_record r{};
    r.kernel = k.name;
    r.global[0] = k.global[0];
    r.global[1] = k.global[1];
    r.local[0] = k.local[0];
    r.local[1] = k.local[1];
    log_.push_back({seq, std::move(r)});
    if (log_.size() > kLogCapacity) log_.pop_front();
    pending_.push_back({seq, std::move(k)});
    pending_count_.fetch_add(1, std::memory_order_release);
    if (worker_sleeps_) work_cv_.notify_one();  // a spinning or busy worker needs no wake-up
    return seq;
  }

  std::uint64_t submitted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return submitted_;
  }

  std::uint64_t completed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return completed_;
  }

  // Waits until launch `seq` has completed; throws the earliest unreported failure up to it. The
  // wait hook runs every 50 ms meanwhile; what it throws ends the wait (the launches go on).
  void wait_for(std::uint64_t seq, bool raise) {
    if (g_forked.load()) forked_device();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!done_cv_.wait_for(lock, std::chrono::milliseconds(50),
                              [&] { return completed_ >= seq; })) {
      if (void (*hook)() = g_wait_hook.load()) {
        lock.unlock();
        hook();
        lock.lock();
      }
    }
    if (!raise) return;
    auto end = std::find_if(failures_.begin(), failures_.end(),
                            [&](const auto& f) { return f.first > seq; });
    const auto count = static_cast<std::size_t>(end - failures_.begin());
    if (count == 0) return;
    std::string msg = failures_.front().second;
    if (count > 1) msg += " (and " + std::to_string(count - 1) + " more)";
    failures_.erase(failures_.begin(), end);
    throw launch_error(msg);
  }

  // The records up to the latest launch submitted before the call, once they have run. Launches
  // submitted meanwhile by other threads are left out: their records are not complete.
  std::vector<launch_record> log() {
    const std::uint64_t last = submitted();
    wait_for(last, false);
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<launch_record> out;
    out.reserve(log_.size());
    for (const auto& [seq, r] : log_) {
      if (seq > last) break;
      out.push_back(r);
    }
    return out;
  }

  void clear_log() {
    if (g_forked.load()) forked_device();
    std::lock_guard<std::mutex> lock(mutex_);
    log_.clear();
  }

 private:
  device_queue() {
    unsigned n = std::max(1u, std::thread::hardware_concurrency());
    if (const char* env = std::getenv("XPUEMU_THREADS")) n = std::max(1, std::atoi(env));
    install_overflow_handler();
    // The threads do not exist in a child forked from here on.
    ::pthread_atfork(nullptr, nullptr, [] { g_forked.store(true); });
    for (unsigned i = 1; i < n; ++i) std::thread([this] { helper_loop(); }).detach();
    helpers_ = n - 1;
    std::thread([this] { worker_loop(); }).detach();
  }

  void worker_loop() {
    give_signal_stack();
    for (;;) {
      std::pair<std::uint64_t, kernel_launch> next;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        if (pending_.empty()) {
          // Spin briefly before sleeping: a launch submitted soon after the last one (the next
          // call of a decoding step) then costs its caller no wake-up system call.
          lock.unlock();
          const std::uint64_t until = now_ns() + kSpinNs;
          while (pending_count_.load(std::memory_order_acquire) == 0 && now_ns() < until)
            __builtin_ia32_pause();
          lock.lock();
          worker_sleeps_ = true;
          work_cv_.wait(lock, [&] { return !pending_.empty(); });
          worker_sleeps_ = false;
        }
        next = std::move(pending_.front());
        pending_.pop_front();
        pending_count_.fetch_sub(1, std::memory_order_relaxed);
      }
      launch_record result = execute(next.first, next.second);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!result.error.empty()) failures_.emplace_back(next.first, result.error);
        // Records hold consecutive sequence numbers; this one may have been dropped already.
        if (!log_.empty() && next.first >= log_.front().first &&
            next.first - log_.front().first < log_.size()) {
          launch_record& r = log_[next.first - log_.front().first].second;
          r.slm_bytes = result.slm_bytes;
          r.barriers = result.barriers;
          r.start_ns = result.start_ns;
          r.end_ns = result.end_ns;
          r.loads = std::move(result.loads);
          r.loads_unique = std::move(result.loads_unique);
          r.stores = std::move(result.stores);
          r.error = std::move(result.error);
        }
        completed_ = next.first;
      }
      registry::release_until(next.first);
      done_cv_.notify_all();
    }
  }

  launch_record execute(std::uint64_t seq, const kernel_launch& k) {
    launch_ctx launch;
    launch.kernel = &k;
    if (k.global[0] * k.global[1] != 0) {  // an empty launch runs no group
      launch.groups[0] = k.global[0] / k.local[0];
      launch.groups[1] = k.global[1] / k.local[1];
    }
    launch.poison = poison();
    launch.timeout_ns = g_timeout_ns.load();
    if (g_checking.load())
      launch.checker = std::make_unique<launch_checker>(registry::snapshot(seq));

    // Share the launch with the helper threads and take part in it.
    const std::uint64_t start = now_ns();
    if (launch.timeout_ns != 0) launch.deadline_ns = start + launch.timeout_ns;
    {
      std::lock_guard<std::mutex> lock(pool_mutex_);
      job_ = &launch;
      ++job_generation_;
      busy_helpers_ = helpers_;
    }
    pool_cv_.notify_all();
    run_groups(launch);
    {
      std::unique_lock<std::mutex> lock(pool_mutex_);
      pool_done_cv_.wait(lock, [&] { return busy_helpers_ == 0; });
      job_ = nullptr;
    }
    const std::uint64_t end = now_ns();

    launch_record r{};
    r.start_ns = launch.groups[0] * launch.groups[1] == 0 ? end : start;  // empty: at completion
    r.end_ns = end;
    r.slm_bytes = launch.slm_bytes.load();
    r.barriers = launch.barriers.load();
    r.error = launch.fault;
    if (launch.checker) launch.checker->report(r);
    return r;
  }

  void helper_loop() {
    give_signal_stack();
    std::uint64_t seen = 0;
    for (;;) {
      launch_ctx* job;
      {
        std::unique_lock<std::mutex> lock(pool_mutex_);
        pool_cv_.wait(lock, [&] { return job_generation_ != seen; });
        seen = job_generation_;
        job = job_;
      }
      run_groups(*job);
      {
        std::lock_guard<std::mutex> lock(pool_mutex_);
        --busy_helpers_;
      }
      pool_done_cv_.notify_all();
    }
  }

  // Queue and log.
  std::mutex mutex_;
  std::condition_variable work_cv_, done_cv_;
  std::deque<std::pair<std::uint64_t, kernel_launch>> pending_;
  std::atomic<std::size_t> pending_count_{0};  // pending_.size(), read without the lock
  bool worker_sleeps_ = false;                 // the worker waits on work_cv_
  std::deque<std::pair<std::uint64_t, launch_record>> log_;
  std::vector<std::pair<std::uint64_t, std::string>> failures_;  // unreported, in order
  std::uint64_t submitted_ = 0;
  std::uint64_t completed_ = 0;

  // Helper threads sharing the running launch.
  std::mutex pool_mutex_;
  std::condition_variable pool_cv_, pool_done_cv_;
  launch_ctx* job_ = nullptr;
  std::uint64_t job_generation_ = 0;
  unsigned helpers_ = 0;
  unsigned busy_helpers_ = 0;
};

}  // namespace

void check_not_forked() {
  if (g_forked.load()) forked_device();
}

// ---- hooks for the device API ------------------------------------------------------------------

std::uint64_t submit(kernel_launch launch) {
  return device_queue::get().submit(std::move(launch));
}

void wait_for(std::uint64_t seq) {
  device_queue::get().wait_for(seq, true);
}

thread_local const hook_state* tl_hooks = nullptr;

void global_access_slow(const void* p, std::size_t bytes, std::size_t align, access kind,
                   const char* op) {
  item_ctx* it = tl_item;
  if (!it) return;
  check_time(*it, false);
  launch_checker* checker = it->group->launch->checker.get();
  if (!checker) return;
  if (fault_text f = checker->check(p, bytes, align, kind, op, *it->group->traffic))
    fail(*it, f.what, f.where);
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
  std::atomic_thread_fence(std::memory_order_seq_cst);
  it.at_barrier = true;
  it.barrier_file = file;
  it.barrier_line = line;
  fiber_switch to_scheduler(it.sink_stack, &it.sink_stack);
  it.sink = std::move(it.sink).resume();
}

}  // namespace detail

// ---- public runtime calls -----------------------------------------------------------------------

void set_checking(bool on) {
  detail::g_checking.store(on);
}
bool checking() {
  return detail::g_checking.load();
}

void set_launch_timeout(double seconds) {
  detail::g_timeout_ns.store(seconds > 0 ? static_cast<std::uint64_t>(seconds * 1e9) : 0);
}
double launch_timeout() {
  return static_cast<double>(detail::g_timeout_ns.load()) * 1e-9;
}

void set_wait_hook(void (*hook)()) {
  detail::g_wait_hook.store(hook);
}

void synchronize() {
  auto& q = detail::device_queue::get();
  q.wait_for(q.submitted(), true);
}

void wait_idle() {
  if (detail::g_forked.load()) return;  // nothing of the parent's runs here
  auto& q = detail::device_queue::get();
  q.wait_for(q.submitted(), false);
}

void device_free(void* p) {
  if (!p || detail::g_forked.load()) return;  // a forked child keeps its copy until it exits
  auto& q = detail::device_queue::get();
  const std::uint64_t last_user = q.submitted();
  detail::registry::retire(p, last_user);
  // Release at once if every launch that might use it has already run; otherwise the worker
  // releases it when launch `last_user` completes.
  detail::registry::release_until(q.completed());
}

std::vector<launch_record> launch_log() {
  if (detail::g_forked.load()) detail::forked_device();
  return detail::device_queue::get().log();
}

void clear_launch_log() {
  detail::device_queue::get().clear_log();
}

}  // namespace xpuemu
