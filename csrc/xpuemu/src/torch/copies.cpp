// Copies between device tensors and to or from the CPU, and reading one element.
#include "device_impl.hpp"

namespace xpuemu::device_impl {

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

}  // namespace xpuemu::device_impl
