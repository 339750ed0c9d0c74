// Internals of the XPU device in PyTorch, shared by its source files (src/torch/*.cpp): the one
// device, waits, host-operation timing, the allocator, CPU views of device tensors and the native
// kernels that registration.cpp registers. Not installed: modules use xpuemu/torch_device.hpp.
#pragma once

#include <ATen/ATen.h>
#include <ATen/core/dispatch/Dispatcher.h>
#include <c10/core/Allocator.h>
#include <torch/library.h>

#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

namespace xpuemu::device_impl {

constexpr c10::DeviceType kXPU = c10::DeviceType::XPU;

// The device, xpu:0.
const c10::Device& the_device();
bool on_device(const at::Tensor& t);
// Refuses a device other than xpu:0, naming it.
void check_device_index(c10::Device d);

// Waits for every submitted launch; a kernel failure becomes a c10::Error (RuntimeError in
// Python) with the runtime's message.
void wait_for_device();

// ---- time spent in host operations (host_op_time.cpp)
// --------------------------------------------

extern std::atomic<std::uint64_t> g_host_op_calls;
extern std::atomic<std::uint64_t> g_host_op_ns;
extern thread_local unsigned tl_host_op_depth;  // host operations running on this thread
std::uint64_t now_ns();

// Times a host operation from its construction, after the operation's wait for earlier launches,
// to the end of its scope, failures included. Only the outermost one of a thread is counted: the
// operations it runs itself are part of its time.
class host_op_timer {
 public:
  host_op_timer() : outer_(tl_host_op_depth++ == 0), start_(outer_ ? now_ns() : 0) {}
  ~host_op_timer() {
    --tl_host_op_depth;
    if (!outer_) return;
    g_host_op_ns.fetch_add(now_ns() - start_, std::memory_order_relaxed);
    g_host_op_calls.fetch_add(1, std::memory_order_relaxed);
  }
  host_op_timer(const host_op_timer&) = delete;
  host_op_timer& operator=(const host_op_timer&) = delete;

 private:
  bool outer_;
  std::uint64_t start_;
};

// ---- allocator (allocator.cpp)
// ---------------------------------------------------------------------

// Device memory from the runtime; never destroyed.
c10::Allocator& allocator();

// ---- device guard (guard.cpp)
// -----------------------------------------------------------------------

// Registers the guard of the one device with its one stream (once).
void register_device_guard();

// ---- CPU views of device tensors (host_views.cpp)
// ---------------------------------------------------

// A tensor over `storage` with the geometry, dtype and lazy conj/neg bits of `like`.
at::Tensor tensor_over(c10::Storage storage, c10::DispatchKey key, const at::Tensor& like);

// CPU tensors over the same host memory as device tensors (no copy). Views of one device storage
// share one CPU storage, so the CPU kernels see the same aliasing as on the device. A CPU kernel
// may grow such a storage (an out= argument resized): it then moves to CPU memory, and
// adopt_moved_storages() hands the new contents to the device storage.
class host_views {
 public:
  // The CPU view of `t`; `t` itself if it is not an XPU tensor.
  at::Tensor operator()(const at::Tensor& t) {
    if (!on_device(t)) return t;
    return tensor_over(host_storage(t.storage()), c10::DispatchKey::CPU, t);
  }

  // The device storage that CPU storage `s` aliases, or nullptr.
  const c10::Storage* device_storage_of(const c10::StorageImpl* s) const {
    for (const auto& [dev, host] : map_)
      if (host.unsafeGetStorageImpl() == s) return &dev;
    return nullptr;
  }

  // Whether `host` still lies on the CPU view of the storage of device tensor `dev`.
  bool views_storage_of(const at::Tensor& host, const at::Tensor& dev) const {
    return device_storage_of(host.storage().unsafeGetStorageImpl()) == find(dev.storage());
  }

  // Gives every device storage whose CPU view was reallocated the view's contents.
  void adopt_moved_storages();

 private:
  const c10::Storage* find(const c10::Storage& dev) const {
    for (const auto& entry : map_)
      if (entry.first.is_alias_of(dev)) return &entry.first;
    return nullptr;
  }

  c10::Storage host_storage(const c10::Storage& dev);

  std::vector<std::pair<c10::Storage, c10::Storage>> map_;  // device storage, its CPU view
};

// ---- memory (memory.cpp)
// ---------------------------------------------------------------------------

at::Tensor empty_device(at::IntArrayRef size, c10::optional<at::ScalarType> dtype,
                        c10::optional<at::Layout> layout, c10::optional<at::Device> device,
                        c10::optional<bool> pin_memory,
                        c10::optional<at::MemoryFormat> memory_format);
at::Tensor empty_strided_device(at::IntArrayRef size, at::IntArrayRef stride,
                                c10::optional<at::ScalarType> dtype,
                                c10::optional<at::Layout> layout, c10::optional<at::Device> device,
                                c10::optional<bool> pin_memory);
// A new device tensor with the sizes of `t` (and its strides when they are dense).
at::Tensor empty_device_like(const at::Tensor& t, at::ScalarType dtype);
const at::Tensor& resize_device(const at::Tensor& self, at::IntArrayRef size,
                                c10::optional<at::MemoryFormat> memory_format);
at::Tensor& set_storage_offset_device(at::Tensor& self, c10::Storage source, int64_t offset,
                                      at::IntArrayRef size, at::IntArrayRef stride);
at::Tensor& set_storage_device(at::Tensor& self, c10::Storage source);
at::Tensor& set_tensor_device(at::Tensor& self, const at::Tensor& source);
at::Tensor& set_empty_device(at::Tensor& self);

// ---- copies (copies.cpp)
// ---------------------------------------------------------------------------

at::Scalar local_scalar_dense_device(const at::Tensor& self);
at::Tensor copy_from_device(const at::Tensor& src, const at::Tensor& dst, bool non_blocking);
at::Tensor copy_from_and_resize_device(const at::Tensor& src, const at::Tensor& dst);

// ---- GEMMs (gemm.cpp)
// ------------------------------------------------------------------------------

at::Tensor mm_device(const at::Tensor& self, const at::Tensor& mat2);
at::Tensor bmm_device(const at::Tensor& self, const at::Tensor& mat2);
at::Tensor addmm_device(const at::Tensor& self, const at::Tensor& mat1, const at::Tensor& mat2,
                        const at::Scalar& beta, const at::Scalar& alpha);

// ---- every other op (fallback.cpp)
// ------------------------------------------------------------------

// Runs an op without an XPU kernel with PyTorch's CPU kernel on views of the device memory.
void cpu_fallback(const c10::OperatorHandle& op, torch::jit::Stack* stack);

}  // namespace xpuemu::device_impl
