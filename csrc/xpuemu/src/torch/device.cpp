// The XPU device of PyTorch on the emulated platform: which device it is, how it waits, and its
// registration with PyTorch (allocator.cpp, guard.cpp, and the native kernels of memory.cpp,
// copies.cpp, gemm.cpp, with fallback.cpp running every other op on PyTorch's CPU kernels).
//
// Everything is registered once, when this library is loaded. If another XPU backend is already
// present, nothing is registered and torch_device_ok() says so; the Python module `xpuemu` turns
// that into an ImportError, and other modules linking this library should check it the same way.
#include <ATen/native/Resize.h>
#include <ATen/ops/_reshape_alias_native.h>
#include <ATen/ops/as_strided_native.h>
#include <ATen/ops/view_native.h>
#include <c10/core/impl/DeviceGuardImplInterface.h>

#include <string>

#include "device_impl.hpp"
#include "xpuemu/runtime.hpp"
#include "xpuemu/torch_device.hpp"

namespace xpuemu::device_impl {

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

namespace {

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
    register_device_guard();
    register_kernels();
    reg->ok = true;
    return reg;
  }();
  return *r;
}

// Registers the device when the library is loaded.
[[maybe_unused]] const bool registered_at_load = (register_device(), true);

}  // namespace

}  // namespace xpuemu::device_impl

namespace xpuemu {

bool torch_device_ok() {
  return device_impl::register_device().ok;
}

const std::string& torch_device_error() {
  return device_impl::register_device().error;
}

}  // namespace xpuemu
