// The device's in-order queue: submissions, the worker thread that runs launches one after
// another with helper threads sharing each, waits (interruptible through the wait hook), the
// launch log, the asynchronous failures and the process-wide switches other than poisoning. It
// alone writes the queue state (queue_state.hpp) that device memory reads, and releases freed
// memory as launches complete.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

#include "device_memory.hpp"
#include "queue_state.hpp"
#include "work_group.hpp"

namespace xpuemu {
namespace detail {
namespace {

constexpr std::size_t kLogCapacity = 10000;  // launch records kept
constexpr std::uint64_t kSpinNs = 100000;    // the idle worker spins this long, then sleeps

std::atomic<bool> g_checking{true};

// Time limit of one launch in nanoseconds (0: none); XPUEMU_LAUNCH_TIMEOUT_S sets the initial
// value.
std::atomic<std::uint64_t> g_timeout_ns{[] {
  const char* env = std::getenv("XPUEMU_LAUNCH_TIMEOUT_S");
  const double s = env ? std::atof(env) : 0.0;
  return s > 0 ? static_cast<std::uint64_t>(s * 1e9) : std::uint64_t{0};
}()};

// Called by waits about every 50 ms; may throw to abandon the wait.
std::atomic<void (*)()> g_wait_hook{nullptr};

// ---- the queue ----------------------------------------------------------------------------------

class device_queue {
 public:
  static device_queue& get() {
    static device_queue* q = new device_queue;  // never destroyed: threads run until exit
    return *q;
  }

  std::uint64_t submit(kernel_launch k) {
    check_not_forked();
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uint64_t seq = g_queue_state.submitted.load() + 1;
    g_queue_state.submitted.store(seq);
    pending_.push_back({seq, std::move(k)});
    pending_count_.fetch_add(1, std::memory_order_release);
    if (worker_sleeps_) work_cv_.notify_one();  // a spinning or busy worker needs no wake-up
    return seq;
  }

  std::uint64_t submitted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return g_queue_state.submitted.load();
  }

  // Waits until launch `seq` has completed; throws the earliest unreported failure up to it. The
  // wait hook runs every 50 ms meanwhile; what it throws ends the wait (the launches go on).
  void wait_for(std::uint64_t seq, bool raise) {
    check_not_forked();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!done_cv_.wait_for(lock, std::chrono::milliseconds(50),
                              [&] { return g_queue_state.completed.load() >= seq; })) {
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
    check_not_forked();
    std::lock_guard<std::mutex> lock(mutex_);
    log_.clear();
    // Launches still to run are not logged either.
    cleared_through_ = g_queue_state.submitted.load();
  }

 private:
  device_queue() {
    unsigned n = std::max(1u, std::thread::hardware_concurrency());
    if (const char* env = std::getenv("XPUEMU_THREADS")) n = std::max(1, std::atoi(env));
    install_overflow_handler();
    // The threads do not exist in a child forked from here on.
    ::pthread_atfork(nullptr, nullptr, [] { g_queue_state.forked.store(true); });
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
        // The record is made here rather than at submission, which then costs its caller less;
        // the log is read only once the launches before the read have run.
        if (next.first > cleared_through_) {
          log_.push_back({next.first, std::move(result)});
          if (log_.size() > kLogCapacity) log_.pop_front();
        }
        g_queue_state.completed.store(next.first);
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
    r.kernel = *k.name;
    r.global[0] = k.global[0];
    r.global[1] = k.global[1];
    r.local[0] = k.local[0];
    r.local[1] = k.local[1];
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
  std::uint64_t cleared_through_ = 0;  // launches up to this one are not logged
  std::vector<std::pair<std::uint64_t, std::string>> failures_;  // unreported, in order
  // The sequence numbers submitted and completed are g_queue_state's, changed under mutex_.

  // Helper threads sharing the running launch.
  std::mutex pool_mutex_;
  std::condition_variable pool_cv_, pool_done_cv_;
  launch_ctx* job_ = nullptr;
  std::uint64_t job_generation_ = 0;
  unsigned helpers_ = 0;
  unsigned busy_helpers_ = 0;
};

}  // namespace

// ---- hooks for the device API ------------------------------------------------------------------

std::uint64_t submit(kernel_launch launch) {
  return device_queue::get().submit(std::move(launch));
}

void wait_for(std::uint64_t seq) {
  device_queue::get().wait_for(seq, true);
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

std::vector<launch_record> launch_log() {
  detail::check_not_forked();
  return detail::device_queue::get().log();
}

void clear_launch_log() {
  detail::device_queue::get().clear_log();
}

}  // namespace xpuemu
