// Device memory for PyTorch: the runtime's allocations, freed once earlier launches have run.
#include <new>

#include "device_impl.hpp"
#include "xpuemu/runtime.hpp"

namespace xpuemu::device_impl {

namespace {

void free_device_memory(void* p) {
  xpuemu::device_free(p);
}

// Device memory: 64-byte aligned host memory registered with the checker. Frees are deferred by
// the runtime until every launch submitted before them has run, so they never wait.
class device_allocator final : public c10::Allocator {
 public:
  c10::DataPtr allocate(size_t bytes) const override {
    void* p = nullptr;
    try {
      p = xpuemu::device_malloc(bytes);
    } catch (const std::bad_alloc&) {
      TORCH_CHECK(false, "XPU out of memory: tried to allocate ", bytes, " bytes");
    }
    return {p, p, &free_device_memory, the_device()};
  }
  c10::DeleterFnPtr raw_deleter() const override { return &free_device_memory; }
};

}  // namespace

c10::Allocator& allocator() {
  static auto* a = new device_allocator;  // never destroyed: storages may outlive static teardown
  return *a;
}

}  // namespace xpuemu::device_impl
