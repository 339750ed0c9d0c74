// The XPU extension's host calls used by operators: the queue behind a stream and the profiler.
#pragma once

#include <c10/core/Stream.h>

#include <string>

#include "sycl/sycl.hpp"

namespace xpu {

// The SYCL queue behind `stream` (the emulated device has one in-order queue).
sycl::queue& get_queue_from_stream(c10::Stream stream);

// Opens and closes one profiler record named `name` for the launch of `event` on the calling
// thread when a profiler is active; costs one check otherwise.
void profiler_record(std::string name, sycl::event& event);

}  // namespace xpu
