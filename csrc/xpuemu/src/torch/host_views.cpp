// CPU tensors over the memory of device tensors: how the device runs PyTorch's CPU kernels.
#include <c10/core/CPUAllocator.h>

#include <cstring>

#include "device_impl.hpp"

namespace xpuemu::device_impl {

at::Tensor tensor_over(c10::Storage storage, c10::DispatchKey key, const at::Tensor& like) {
  at::Tensor t = at::detail::make_tensor<c10::TensorImpl>(std::move(storage),
                                                          c10::DispatchKeySet(key), like.dtype());
  t.unsafeGetTensorImpl()->set_sizes_and_strides(like.sizes(), like.strides(),
                                                 like.storage_offset());
  if (like.is_conj()) t._set_conj(true);
  if (like.is_neg()) t._set_neg(true);
  return t;
}

namespace {

void release_storage_ref(void* ctx) {
  delete static_cast<c10::Storage*>(ctx);
}

}  // namespace

c10::Storage host_views::host_storage(const c10::Storage& dev) {
  for (const auto& [d, host] : map_)
    if (d.is_alias_of(dev)) return host;
  // The CPU storage holds a reference to the device storage: its memory outlives the view.
  c10::DataPtr ptr(dev.data(), new c10::Storage(dev), &release_storage_ref, c10::Device(c10::kCPU));
  c10::Storage host(c10::Storage::use_byte_size_t(), dev.nbytes(), std::move(ptr),
                    c10::GetCPUAllocator(), /*resizable=*/true);
  map_.emplace_back(dev, host);
  return host;
}

void host_views::adopt_moved_storages() {
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

}  // namespace xpuemu::device_impl
