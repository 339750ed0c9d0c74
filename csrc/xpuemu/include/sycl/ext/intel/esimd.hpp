// Explicit SIMD (ESIMD) API of the emulated device: vector types and views, memory access, math
// and synchronisation. Kernels run on the host CPU; see xpuemu/runtime.hpp for the checking hooks.
#pragma once

#include "sycl/ext/intel/esimd/common.hpp"
#include "sycl/ext/intel/esimd/math.hpp"
#include "sycl/ext/intel/esimd/memory.hpp"
#include "sycl/ext/intel/esimd/simd.hpp"
