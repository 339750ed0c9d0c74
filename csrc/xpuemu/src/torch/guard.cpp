// The device guard: one device (xpu:0) with one stream, the runtime's in-order queue.
#include <c10/core/impl/DeviceGuardImplInterface.h>

#include "device_impl.hpp"

namespace xpuemu::device_impl {

namespace {

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

}  // namespace

void register_device_guard() {
  static c10::impl::DeviceGuardImplRegistrar registrar(kXPU, new device_guard);
}

}  // namespace xpuemu::device_impl
