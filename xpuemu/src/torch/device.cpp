// The XPU device of PyTorch on the emulated platform: an allocator over device memory, a device
// guard with one device and one stream, native kernels for memory, views, copies and GEMMs, a
// boxed fallback that runs every other op with PyTorch's CPU kernels over the same host memory,
// the xpu:: host calls (the queue behind a stream, the profiler record of a launch) and the time
// spent in host operations on device memory.
//
// Everything is registered once, when this library is loaded. If another XPU backend is already
// present, nothing is registered and torch_device_ok() says so; the Python module `xpuemu` turns
// that into an ImportError, and other modules linking this library should check it the same way.
#include <ATen/ATen.h>
#include <ATen/EmptyTensor.h>
#include <ATen/core/dispatch/Dispatcher.h>
#include <ATen/native/Resize.h>
#include <ATen/ops/_reshape_alias_native.h>
#include <ATen/ops/as_strided_native.h>
#include <ATen/ops/view_native.h>
#include <ATen/record_function.h>
#include <c10/core/Allocator.h>
#include <c10/core/impl/DeviceGuardImplInterface.h>
#include <torch/library.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "xpu/xpu.hpp"
#include "xpuemu/runtime.hpp"
#include "xpuemu/torch_device.hpp"

namespace {

constexpr c10::DeviceType kXPU = c10::DeviceType::XPU;

const c10::Device& the_device() {
  static const c10::Device d(kXPU, 0);
  return d;
}

bool on_device(const at::Tensor& t) {
  return t.defined() && t.device().type() == kXPU;
}

void check_device_index(c10::Device d) {
  TORCH_CHECK(d.type() == kXPU, "expected an XPU device, got ", d);
  TORCH_CHECK(!d.has_index() || d.index() == 0, "invalid XPU device ", d,
              ": there is one XPU device, xpu:0");
}

// Waits for every submitted launch; a kernel failure becomes a c10::Error (RuntimeError in
// Python) with the runtime's message.
void wait_for_device() {
  try {
    xpuemu::synchronize();
  } catch (const xpuemu::launch_error& e) {
    TORCH_CHECK(false, e.what());
  }
}

// ---- time spent in host operations --------------------------------------------------------------

std::atomic<std::uint64_t> g_host_op_calls{0};
std::atomic<std::uint64_t> g_host_op_ns{0};
thread_local unsigned tl_host_op_depth = 0;  // host operations running on this thread

std::uint64_t now_ns() {
  const auto t = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(t).count());
}

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

// ---- allocator ----------------------------------------------------------------------------------

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

device_allocator& allocator() {
  static auto* a = new device_allocator;  // never destroyed: storages may outlive static teardown
  return *a;
}

// ---- device guard -------------------------------------------------------------------------------

c10::Stream default_stream() {
  return c10::Stream(c10::Stream::DEFAULT, the_device());
}

// One device (index 0) with one stream (id 0), the in-order queue of the runtime.
class device_guard final : public c10::impl::DeviceGuardImplInterface {
 public:
  c10::DeviceType type() const override { return kXPU; }
  c10::Device exchangeDevice(c10::Device d) const override {
    check_device_index(d);
    return the_device();
  }
  c10::Device getDevice() const override { return the_device(); }
  void setDevice(c10::Device d) const override { check_device_index(d); }
  void uncheckedSetDevice(c10::Device) const noexcept override {}
  c10::Stream getStream(c10::Device) const noexcept override { return default_stream(); }
  c10::Stream getDefaultStream(c10::Device) const override { return default_stream(); }
  c10::Stream getStreamFromGlobalPool(c10::Device, bool) const override { return default_stream(); }
  c10::Stream exchangeStream(c10::Stream) const noexcept override { return default_stream(); }
  c10::DeviceIndex deviceCount() const noexcept override { return 1; }
  void synchronizeStream(const c10::Stream&) const override { wait_for_device(); }
};

// ---- host views of device tensors ---------------------------------------------------------------

// A tensor over `storage` with the geometry, dtype and lazy conj/neg bits of `like`.
at::Tensor tensor_over(c10::Storage storage, c10::DispatchKey key, const at::Tensor& like) {
  at::Tensor t = at::detail::make_tensor<c10::TensorImpl>(std::move(storage),
                                                          c10::DispatchKeySet(key), like.dtype());
  t.unsafeGetTensorImpl()->set_sizes_and_strides(like.sizes(), like.strides(),
                                                 like.storage_offset());
  if (like.is_conj()) t._set_conj(true);
  if (like.is_neg()) t._set_neg(true);
  return t;
}

void release_storage_ref(void* ctx) {
  delete static_cast<c10::Storage*>(ctx);
}

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
  void adopt_moved_storages() {
    for (auto& [dev, host] : map_) {
      if (host.data() == dev.data()) continue;
      auto* impl = dev.unsafeGetStorageImpl();
      TORCH_CHECK(impl->resizable(), "Trying to resize storage that is not resizable");
      c10::DataPtr fresh = allocator().allocate(host.nbytes());
      std::memcpy(fresh.get(), host.data(), host.nbytes());
      impl->set_data_ptr_noswap(std::move(fresh));  // the old memory goes to a deferred free
      impl->set_nbytes(host.nbytes());
    }
  }

 private:
  const c10::Storage* find(const c10::Storage& dev) const {
    for (const auto& entry : map_)
      if (entry.first.is_alias_of(dev)) return &entry.first;
    return nullptr;
  }

  c10::Storage host_storage(const c10::Storage& dev) {
    for (const auto& [d, host] : map_)
      if (d.is_alias_of(dev)) return host;
    // The CPU storage holds a reference to the device storage: its memory outlives the view.
    c10::DataPtr ptr(dev.data(), new c10::Storage(dev), &release_storage_ref,
                     c10::Device(c10::kCPU));
    c10::Storage host(c10::Storage::use_byte_size_t(), dev.nbytes(), std::move(ptr),
                      c10::GetCPUAllocator(), /*resizable=*/true);
    map_.emplace_back(dev, host);
    return host;
  }

  std::vector<std::pair<c10::Storage, c10::Storage>> map_;  // device storage, its CPU view
};

// ---- memory ------------------------------------------------------------------------------------

void check_factory_options(c10::optional<at::Layout> layout, c10::optional<at::Device> device,
                           c10::optional<bool> pin_memory) {
  if (device) check_device_index(*device);
  TORCH_CHECK(c10::layout_or_default(layout) == at::kStrided,
              "XPU tensors must have the strided layout, got ", c10::layout_or_default(layout));
  TORCH_CHECK(!c10::pinned_memory_or_default(pin_memory), "only CPU tensors can be pinned");
}

at::Tensor empty_device(at::IntArrayRef size, c10::optional<at::ScalarType> dtype,
                        c10::optional<at::Layout> layout, c10::optional<at::Device> device,
                        c10::optional<bool> pin_memory,
                        c10::optional<at::MemoryFormat> memory_format) {
  check_factory_options(layout, device, pin_memory);
  return at::detail::empty_generic(size, &allocator(), c10::DispatchKeySet(c10::DispatchKey::XPU),
                                   c10::dtype_or_default(dtype), memory_format);
}

at::Tensor empty_strided_device(at::IntArrayRef size, at::IntArrayRef stride,
                                c10::optional<at::ScalarType> dtype,
                                c10::optional<at::Layout> layout, c10::optional<at::Device> device,
                                c10::optional<bool> pin_memory) {
  check_factory_options(layout, device, pin_memory);
  return at::detail::empty_strided_generic(size, stride, &allocator(),
                                           c10::DispatchKeySet(c10::DispatchKey::XPU),
                                           c10::dtype_or_default(dtype));
}

// A new device tensor with the sizes of `t` (and its strides when they are dense).
at::Tensor empty_device_like(const at::Tensor& t, at::ScalarType dtype) {
  if (t.is_non_overlapping_and_dense())
    return empty_strided_device(t.sizes(), t.strides(), dtype, {}, {}, {});
  return empty_device(t.sizes(), dtype, {}, {}, {}, {});
}

// Grows or shrinks a device storage to `bytes`, keeping its leading contents.
void resize_storage_bytes(c10::StorageImpl* storage, size_t bytes) {
  TORCH_CHECK(storage->resizable(), "Trying to resize storage that is not resizable");
  c10::DataPtr fresh = allocator().allocate(bytes);
  const size_t keep = std::min(bytes, storage->nbytes());
  if (keep > 0) {
    wait_for_device();
    std::memcpy(fresh.get(), storage->data(), keep);
  }
  storage->set_data_ptr_noswap(std::move(fresh));  // the old memory goes to a deferred free
  storage->set_nbytes(bytes);
}

// Sets the sizes (and strides) of a device tensor, growing its storage when it is too small.
void resize_device_impl(c10::TensorImpl* self, at::IntArrayRef size,
                        at::OptionalIntArrayRef stride) {
  if (self->sizes() == size && (!stride || self->strides() == *stride)) return;
  at::detail::check_size_nonnegative(size);
  const auto itemsize = self->dtype().itemsize();
  size_t bytes = 0;
  if (stride) {
    self->set_sizes_and_strides(size, *stride);
    bytes = at::detail::computeStorageNbytes(size, *stride, itemsize, self->storage_offset());
  } else {
    self->set_sizes_contiguous(size);
    bytes = at::detail::computeStorageNbytesContiguous(size, itemsize, self->storage_offset());
  }
  if (self->numel() == 0) return;  // any storage holds zero elements
  const c10::Storage& storage = self->unsafe_storage();
  if (bytes > storage.nbytes()) resize_storage_bytes(storage.unsafeGetStorageImpl(), bytes);
}

const at::Tensor& resize_device(const at::Tensor& self, at::IntArrayRef size,
                                c10::optional<at::MemoryFormat> memory_format) {
  TORCH_CHECK(!self.has_names(), "resize_: named XPU tensors are not supported");
  auto* impl = self.unsafeGetTensorImpl();
  resize_device_impl(impl, size, c10::nullopt);
  if (memory_format) {
    TORCH_CHECK(*memory_format != at::MemoryFormat::Preserve, "Unsupported memory format ",
                *memory_format);
    impl->empty_tensor_restride(*memory_format);
  }
  return self;
}

at::Tensor& set_storage_offset_device(at::Tensor& self, c10::Storage source, int64_t offset,
                                      at::IntArrayRef size, at::IntArrayRef stride) {
  at::native::checkSetStorage(self, source, offset, size, stride);
  self.unsafeGetTensorImpl()->set_storage_offset(offset);
  at::OptionalIntArrayRef strides;
  if (stride.data() != nullptr) strides = stride;
  resize_device_impl(self.unsafeGetTensorImpl(), size, strides);
  return self;
}

at::Tensor& set_storage_device(at::Tensor& self, c10::Storage source) {
  const size_t itemsize = self.dtype().itemsize();
  TORCH_CHECK(source.nbytes() % itemsize == 0, "set_: storage of ", source.nbytes(),
              " bytes does not hold whole elements of ", itemsize, " bytes");
  const int64_t n = static_cast<int64_t>(source.nbytes() / itemsize);
  return set_storage_offset_device(self, std::move(source), 0, {n}, {});
}

at::Tensor& set_tensor_device(at::Tensor& self, const at::Tensor& source) {
  if (self.unsafeGetTensorImpl() == source.unsafeGetTensorImpl()) return self;
  return set_storage_offset_device(self, source.storage(), source.storage_offset(), source.sizes(),
                                   source.strides());
}

at::Tensor& set_empty_device(at::Tensor& self) {
  c10::Storage empty(c10::Storage::use_byte_size_t(), 0, &allocator(), /*resizable=*/true);
  return set_storage_offset_device(self, std::move(empty), 0, {0}, {});
}

// ---- copies -------------------------------------------------------------------------------------

at::Scalar local_scalar_dense_device(const at::Tensor& self) {
  wait_for_device();
  host_op_timer timer;
  return at::_local_scalar_dense(host_views()(self));
}

// Copies `src` into `dst` (either may be on the device) through strided host views, with the
// conversions and broadcasting of the CPU copy.
at::Tensor copy_from_device(const at::Tensor& src, const at::Tensor& dst, bool /*non_blocking*/) {
  wait_for_device();
  host_op_timer timer;
  host_views views;
  at::Tensor host_dst = views(dst);
  host_dst.copy_(views(src));
  return dst;
}

at::Tensor copy_from_and_resize_device(const at::Tensor& src, const at::Tensor& dst) {
  wait_for_device();
  host_op_timer timer;  // the copy inside is part of this operation
  if (dst.sizes() != src.sizes()) {
    if (on_device(dst))
      resize_device(dst, src.sizes(), c10::nullopt);
    else
      dst.resize_(src.sizes());
  }
  return copy_from_device(src, dst, false);
}

// ---- GEMMs --------------------------------------------------------------------------------------

void check_all_on_device(const char* op, std::initializer_list<at::Tensor> tensors) {
  for (const at::Tensor& t : tensors)
    TORCH_CHECK(on_device(t), op,
                ": expected all tensors to be on the same device, but found at least two "
                "devices, xpu:0 and ",
                t.device(), "!");
}

// Runs `gemm` on host views of the operands and returns its result on the device. Half operands
// are computed like on a GPU: widened to float, accumulated in float and rounded to half once.
template <typename F>
at::Tensor host_gemm(const char* op, std::initializer_list<at::Tensor> operands, F gemm) {
  check_all_on_device(op, operands);
  wait_for_device();
  host_op_timer timer;
  const bool half = std::all_of(operands.begin(), operands.end(),
                                [](const at::Tensor& t) { return t.scalar_type() == at::kHalf; });
  host_views views;
  std::vector<at::Tensor> args;
  for (const at::Tensor& t : operands) args.push_back(half ? views(t).to(at::kFloat) : views(t));
  const at::Tensor result = gemm(args);
  at::Tensor out = empty_device_like(result, half ? at::kHalf : result.scalar_type());
  views(out).copy_(result);
  return out;
}

at::Tensor mm_device(const at::Tensor& self, const at::Tensor& mat2) {
  return host_gemm("mm", {self, mat2},
                   [](const std::vector<at::Tensor>& a) { return at::mm(a[0], a[1]); });
}

at::Tensor bmm_device(const at::Tensor& self, const at::Tensor& mat2) {
  return host_gemm("bmm", {self, mat2},
                   [](const std::vector<at::Tensor>& a) { return at::bmm(a[0], a[1]); });
}

at::Tensor addmm_device(const at::Tensor& self, const at::Tensor& mat1, const at::Tensor& mat2,
                        const at::Scalar& beta, const at::Scalar& alpha) {
  return host_gemm("addmm", {self, mat1, mat2}, [&](const std::vector<at::Tensor>& a) {
    return at::addmm(a[0], a[1], a[2], beta, alpha);
  });
}

// ---- fallback onto the CPU kernels --------------------------------------------------------------

// One run of an op's CPU kernel on host views of its device arguments.
//
// Arguments are views of device memory (no copy), so in-place and out= kernels write the device
// memory directly, with the CPU's aliasing rules. Sizes a kernel gives to a written argument are
// given to the device tensor; storages the kernel grew are moved back to device memory. Results
// that alias an argument's memory (views such as unfold) become device tensors over the same
// device storage; other results are copied into new device tensors. With `widen`, half tensors go
// in as float copies (written ones are copied back) and float results come back rounded once to
// half (unless a float tensor of one or more dimensions was among the arguments).
class cpu_run {
 public:
  explicit cpu_run(bool widen) : widen_(widen) {}

  c10::IValue argument(const c10::IValue& v, bool written) {
    if (v.isTensor()) return tensor_argument(v.toTensor(), written);
    if (v.isTensorList()) {
      c10::List<at::Tensor> out;
      out.reserve(v.toTensorList().size());
      for (const at::Tensor& t : v.toTensorList()) out.push_back(tensor_argument(t, written));
      return out;
    }
    if (v.isList()) {  // e.g. Tensor?[]
      const c10::List<c10::IValue> list = v.toList();
      c10::impl::GenericList out(list.elementType());
      out.reserve(list.size());
      for (const c10::IValue& e : list) out.push_back(argument(e, written));
      return out;
    }
    if (v.isDevice() && v.toDevice().type() == kXPU) return c10::Device(c10::kCPU);
    return v;
  }

  // Brings the written arguments' memory and sizes back to the device tensors.
  void write_back() {
    views_.adopt_moved_storages();
    for (const auto& [dev, host] : written_) {
      if (views_.views_storage_of(host, dev)) {
        if (dev.sizes() != host.sizes() || dev.strides() != host.strides() ||
            dev.storage_offset() != host.storage_offset())
          dev.unsafeGetTensorImpl()->set_sizes_and_strides(host.sizes(), host.strides(),
                                                           host.storage_offset());
        continue;
      }
      // A widened copy, or a tensor the kernel pointed at other memory.
      if (dev.sizes() != host.sizes()) resize_device(dev, host.sizes(), c10::nullopt);
      host_views()(dev).copy_(host);
    }
  }

  c10::IValue result(const c10::IValue& v) {
    if (v.isTensor()) return result_tensor(v.toTensor());
    if (v.isTensorList()) {
      c10::List<at::Tensor> out;
      out.reserve(v.toTensorList().size());
      for (const at::Tensor& t : v.toTensorList()) out.push_back(result_tensor(t));
      return out;
    }
    return v;
  }

 private:
  at::Tensor tensor_argument(const at::Tensor& t, bool written) {
    if (!t.defined()) return t;
    if (t.scalar_type() == at::kFloat && t.dim() > 0) saw_float_ = true;  // 0-dim: no promotion
    const bool widen = widen_ && t.scalar_type() == at::kHalf;
    if (!on_device(t)) return widen && !written ? t.to(at::kFloat) : t;
    at::Tensor host = widen ? views_(t).to(at::kFloat) : views_(t);
    if (written) written_.emplace_back(t, host);
    return host;
  }

  at::Tensor result_tensor(at::Tensor t) {
    if (!t.defined()) return t;
    for (const auto& [dev, host] : written_)
      if (host.unsafeGetTensorImpl() == t.unsafeGetTensorImpl()) return dev;
    if (t.device().type() != c10::kCPU) return t;
    if (const c10::Storage* dev = views_.device_storage_of(t.storage().unsafeGetStorageImpl()))
      return tensor_over(*dev, c10::DispatchKey::XPU, t);
    if (widen_ && !saw_float_ && t.scalar_type() == at::kFloat) t = t.to(at::kHalf);
    at::Tensor out = empty_device_like(t, t.scalar_type());
    host_views()(out).copy_(t);
    return out;
  }

  bool widen_;
  bool saw_float_ = false;
  host_views views_;
  std::vector<std::pair<at::Tensor, at::Tensor>> written_;  // device tensor, its CPU view
};

bool has_half_device_tensor(const std::vector<c10::IValue>& args) {
  auto half = [](const at::Tensor& t) { return on_device(t) && t.scalar_type() == at::kHalf; };
  for (const c10::IValue& v : args) {
    if (v.isTensor() && half(v.toTensor())) return true;
    if (v.isTensorList())
      for (const at::Tensor& t : v.toTensorList())
        if (half(t)) return true;
  }
  return false;
}

// Like a GPU backend, refuses CPU tensors among device tensors, except zero-dimensional ones
// (scalars) and index lists.
void check_same_device(const c10::OperatorHandle& op, const std::vector<c10::IValue>& args) {
  bool device = false;
  bool host = false;
  auto note = [&](const at::Tensor& t) {
    if (!t.defined()) return;
    device |= on_device(t);
    host |= t.device().type() == c10::kCPU && t.dim() > 0;
  };
  for (const c10::IValue& v : args) {
    if (v.isTensor()) note(v.toTensor());
    if (v.isTensorList())
      for (const at::Tensor& t : v.toTensorList()) note(t);
  }
  TORCH_CHECK(!(device && host), op.schema().name(),
              ": Expected all tensors to be on the same device, but found at least two devices, "
              "xpu:0 and cpu!");
}

void run_on_cpu(const c10::OperatorHandle& op, const std::vector<c10::IValue>& args,
                torch::jit::Stack* stack, bool widen) {
  const auto& schema = op.schema();
  cpu_run run(widen);
  for (size_t i = 0; i < args.size(); ++i) {
    const auto* alias = schema.arguments()[i].alias_info();
    stack->push_back(run.argument(args[i], alias && alias->isWrite()));
  }
  op.redispatchBoxed(c10::DispatchKeySet(c10::DispatchKey::CPU), stack);
  run.write_back();
  const size_t returns = schema.returns().size();
  for (auto it = stack->end() - static_cast<std::ptrdiff_t>(returns); it != stack->end(); ++it)
    *it = run.result(*it);
}

// Runs every op without an XPU kernel with PyTorch's CPU kernel. Kernels that lack half support
// on the CPU are retried with half widened to float.
void cpu_fallback(const c10::OperatorHandle& op, torch::jit::Stack* stack) {
  wait_for_device();
  host_op_timer timer;
  const size_t n = op.schema().arguments().size();
  std::vector<c10::IValue> args(stack->end() - static_cast<std::ptrdiff_t>(n), stack->end());
  torch::jit::drop(*stack, n);
  check_same_device(op, args);
  const size_t base = stack->size();
  try {
    run_on_cpu(op, args, stack, false);
  } catch (const c10::Error& e) {
    if (e.msg().find("not implemented for 'Half'") == std::string::npos ||
        !has_half_device_tensor(args))
      throw;
    stack->resize(base);
    run_on_cpu(op, args, stack, true);
  }
}

// ---- registration -------------------------------------------------------------------------------

void register_kernels() {
  // Never destroyed: the registrations stay for the life of the process.
  auto* aten =
      new torch::Library(torch::Library::IMPL, "aten", c10::DispatchKey::XPU, __FILE__, __LINE__);
  aten->impl("empty.memory_format", TORCH_FN(empty_device));
  aten->impl("empty_strided", TORCH_FN(empty_strided_device));
  aten->impl("as_strided", TORCH_FN(at::native::as_strided_tensorimpl));
  aten->impl("view", TORCH_FN(at::native::view));
  aten->impl("_reshape_alias", TORCH_FN(at::native::_reshape_alias));
  aten->impl("resize_", TORCH_FN(resize_device));
  aten->impl("set_.source_Storage", TORCH_FN(set_storage_device));
  aten->impl("set_.source_Storage_storage_offset", TORCH_FN(set_storage_offset_device));
  aten->impl("set_.source_Tensor", TORCH_FN(set_tensor_device));
  aten->impl("set_", TORCH_FN(set_empty_device));
  aten->impl("_local_scalar_dense", TORCH_FN(local_scalar_dense_device));
  aten->impl("_copy_from", TORCH_FN(copy_from_device));
  aten->impl("_copy_from_and_resize", TORCH_FN(copy_from_and_resize_device));
  aten->impl("mm", TORCH_FN(mm_device));
  aten->impl("addmm", TORCH_FN(addmm_device));
  aten->impl("bmm", TORCH_FN(bmm_device));

  // The copies honour lazy conjugation and negation themselves; materialising those bits first
  // would copy through the same ops again, without end.
  for (auto key : {c10::DispatchKey::Conjugate, c10::DispatchKey::Negative}) {
    auto* bits = new torch::Library(torch::Library::IMPL, "aten", key, __FILE__, __LINE__);
    bits->impl("_copy_from", torch::CppFunction::makeFallthrough());
    bits->impl("_copy_from_and_resize", torch::CppFunction::makeFallthrough());
  }

  auto* all =
      new torch::Library(torch::Library::IMPL, "_", c10::DispatchKey::XPU, __FILE__, __LINE__);
  all->fallback(torch::CppFunction::makeFromBoxedFunction<&cpu_fallback>());
}

// Whether another XPU backend is already registered with PyTorch: an allocator, a device guard,
// a fallback or a kernel for the XPU dispatch key.
bool foreign_backend() {
  c10::Allocator* alloc = nullptr;
  try {
    alloc = c10::GetAllocator(kXPU);
  } catch (const c10::Error&) {
  }
  auto& dispatcher = c10::Dispatcher::singleton();
  const auto empty = dispatcher.findOp({"aten::empty", "memory_format"});
  return alloc || c10::impl::hasDeviceGuardImpl(kXPU) ||
         dispatcher.hasBackendFallbackForDispatchKey(c10::DispatchKey::XPU) ||
         (empty && empty->hasKernelForDispatchKey(c10::DispatchKey::XPU));
}

struct registration {
  bool ok = false;
  std::string error;
};

const registration& register_device() {
  static const registration* r = [] {
    auto* reg = new registration;  // never destroyed
    if (foreign_backend()) {
      reg->error = "an XPU backend is already registered";
      return reg;
    }
    c10::SetAllocator(kXPU, &allocator());
    static c10::impl::DeviceGuardImplRegistrar guard_registrar(kXPU, new device_guard);
    register_kernels();
    reg->ok = true;
    return reg;
  }();
  return *r;
}

// Registers the device when the library is loaded.
[[maybe_unused]] const bool registered_at_load = (register_device(), true);

}  // namespace

namespace xpuemu {

bool torch_device_ok() {
  return register_device().ok;
}

const std::string& torch_device_error() {
  return register_device().error;
}

host_op_totals host_op_totals_now() {
  return {g_host_op_calls.load(std::memory_order_relaxed),
          g_host_op_ns.load(std::memory_order_relaxed)};
}

}  // namespace xpuemu

namespace xpu {

sycl::queue& get_queue_from_stream(c10::Stream stream) {
  TORCH_CHECK(stream.device_type() == kXPU, "get_queue_from_stream: expected an XPU stream, got ",
              stream);
  static auto* queue = new sycl::queue(sycl::property::queue::in_order{});  // never destroyed
  return *queue;
}

void profiler_record(std::string name, sycl::event& /*event*/) {
  auto callbacks = at::getStepCallbacksUnlessEmpty(at::RecordScope::FUNCTION);
  if (C10_LIKELY(!callbacks)) return;
  at::RecordFunction record(std::move(*callbacks));  // closes when it goes out of scope
  if (record.isActive()) record.before(std::move(name));
}

}  // namespace xpu
