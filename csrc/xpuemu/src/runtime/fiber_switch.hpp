// AddressSanitizer annotations of the switches between a work-item's fiber stack and its
// scheduler's. ASan keeps one stack per thread; unless told about a switch, an exception thrown on
// a fiber stack (a kernel fault, the unwinding of a suspended work-item) makes it clear the wrong
// range and report errors that are not there. Without ASan everything here compiles to nothing.
#pragma once

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define XPUEMU_ASAN_FIBERS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define XPUEMU_ASAN_FIBERS 1
#endif
#endif

#ifdef XPUEMU_ASAN_FIBERS
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

namespace xpuemu {
namespace detail {

// A stack as ASan sees it: lowest address and size in bytes.
struct stack_bounds {
  const void* bottom = nullptr;
  std::size_t size = 0;
};

// Call right before switching to the stack `to`. `fake_stack` receives the leaving context's
// fake stack; null when the leaving context ends with this switch (a fiber's final exit).
inline void start_switch(void** fake_stack, const stack_bounds& to) {
#ifdef XPUEMU_ASAN_FIBERS
  __sanitizer_start_switch_fiber(fake_stack, to.bottom, to.size);
#else
  (void)fake_stack;
  (void)to;
#endif
}

// Call right after a switch, on the arriving stack: `fake_stack` as saved when this context left
// (null on a fiber's first entry); `from`, when not null, receives the stack just left.
inline void finish_switch(void* fake_stack, stack_bounds* from) {
#ifdef XPUEMU_ASAN_FIBERS
  const void* bottom = nullptr;
  std::size_t size = 0;
  __sanitizer_finish_switch_fiber(fake_stack, &bottom, &size);
  if (from) *from = {bottom, size};
#else
  (void)fake_stack;
  (void)from;
#endif
}

// One switch away and back, announced on both sides of this context: construct right before the
// switch, destroy right after it (also when the switch back arrives as an exception, the forced
// unwind of a suspended fiber).
class fiber_switch {
 public:
  explicit fiber_switch(const stack_bounds& to, stack_bounds* from = nullptr) : from_(from) {
    start_switch(&fake_stack_, to);
  }
  ~fiber_switch() { finish_switch(fake_stack_, from_); }
  fiber_switch(const fiber_switch&) = delete;
  fiber_switch& operator=(const fiber_switch&) = delete;

 private:
  void* fake_stack_ = nullptr;
  stack_bounds* from_;
};

// Clears the marks left on a stack by frames that never returned (a fiber's entry frames), before
// the stack is given to another fiber.
inline void forget_stack(const stack_bounds& s) {
#ifdef XPUEMU_ASAN_FIBERS
  ASAN_UNPOISON_MEMORY_REGION(s.bottom, s.size);
#else
  (void)s;
#endif
}

}  // namespace detail
}  // namespace xpuemu
