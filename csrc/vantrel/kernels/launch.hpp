// The one way kernels are submitted: a body over an nd-range, under a kernel name of its own.
// Torch-free: launchers call this with the queue their caller gives them.
#pragma once

#include <sycl/ext/intel/esimd.hpp>
#include <sycl/sycl.hpp>

namespace vantrel::kernels {

// Submits `body(item)` for every work-item of `range` as kernel `Name` (the name the launch log
// and the profiler show) and returns the launch's event without waiting.
template <typename Name, int Dims, typename Body>
sycl::event submit_kernel(sycl::queue& queue, const sycl::nd_range<Dims>& range, const Body& body) {
  return queue.submit([&](sycl::handler& cgh) {
    cgh.parallel_for<Name>(range,
                           [=](sycl::nd_item<Dims> item) SYCL_ESIMD_KERNEL { body(item); });
  });
}

}  // namespace vantrel::kernels
