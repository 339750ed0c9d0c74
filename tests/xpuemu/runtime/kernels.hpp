// Small kernels shared by the runtime tests.
#pragma once

#include <cstdint>
#include <string>
#include <sycl/ext/intel/esimd.hpp>
#include <sycl/ext/intel/experimental/esimd.hpp>
#include <sycl/sycl.hpp>

namespace test_kernels {

using namespace sycl::ext::intel::esimd;
namespace xesimd = sycl::ext::intel::experimental::esimd;

template <int N>
simd<float, N> load(const float* p) {
  return xesimd::lsc_block_load<float, N, xesimd::lsc_data_size::default_size, cache_hint::cached,
                                cache_hint::cached>(p);
}

template <int N>
void store(float* p, simd<float, N> v) {
  xesimd::lsc_block_store<float, N, xesimd::lsc_data_size::default_size, cache_hint::write_back,
                          cache_hint::write_back>(p, v);
}

// Submits f over `groups` work-groups of `items` work-items along dimension 0.
template <typename Name, typename F>
sycl::event launch(sycl::queue& q, std::size_t groups, std::size_t items, F f) {
  return q.submit([&](sycl::handler& cgh) {
    cgh.parallel_for<Name>(sycl::nd_range<2>({groups * items, 1}, {items, 1}), f);
  });
}

inline std::uintptr_t addr(const void* p) {
  return reinterpret_cast<std::uintptr_t>(p);
}

// What the E that f() throws says, or "no exception".
template <typename E = sycl::exception, typename F>
std::string error_of(F f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "no exception";
}

}  // namespace test_kernels
