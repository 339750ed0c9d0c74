// Native kernels that create, resize and re-seat device tensors.
#include <ATen/EmptyTensor.h>
#include <ATen/native/Resize.h>

#include <algorithm>
#include <cstring>

#include "device_impl.hpp"

namespace xpuemu::device_impl {

namespace {

void check_factory_options(c10::optional<at::Layout> layout, c10::optional<at::Device> device,
                           c10::optional<bool> pin_memory) {
  if (device) check_device_index(*device);
  TORCH_CHECK(c10::layout_or_default(layout) == at::kStrided,
              "XPU tensors must have the strided layout, got ", c10::layout_or_default(layout));
  TORCH_CHECK(!c10::pinned_memory_or_default(pin_memory), "only CPU tensors can be pinned");
}

}  // namespace

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

}  // namespace xpuemu::device_impl
