// A cooperative sample kernel on the emulated device: each work-group of 64 work-items sums 4096
// floats. Every work-item block-loads 64 floats and reduces them, the partial sums meet in shared
// local memory behind a barrier, and work-item 0 stores the group's total. Prints the results and
// the launch log; with --bench, times the kernel with checking on and off.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <numeric>
#include <sycl/ext/intel/esimd.hpp>
#include <sycl/ext/intel/experimental/esimd.hpp>
#include <sycl/sycl.hpp>
#include <vector>

#include "xpuemu/device_buffer.hpp"

using namespace sycl::ext::intel::esimd;
namespace xesimd = sycl::ext::intel::experimental::esimd;

namespace kernel_names {
class groupSum4096;
}

namespace {

constexpr int kItems = 64;    // work-items per group
constexpr int kPerItem = 64;  // floats per work-item
constexpr int kPerGroup = kItems * kPerItem;

void groupSum4096(const float* in, float* out, sycl::nd_item<2> item) SYCL_ESIMD_FUNCTION {
  slm_init<kItems * sizeof(float) * 16>();
  const uint32_t l = static_cast<uint32_t>(item.get_local_id(0));
  const uint32_t g = static_cast<uint32_t>(item.get_group(0));
  simd<float, kPerItem> v =
      xesimd::lsc_block_load<float, kPerItem, xesimd::lsc_data_size::default_size,
                             cache_hint::cached, cache_hint::cached>(in + g * kPerGroup +
                                                                     l * kPerItem);
  // Fold 64 lanes to 16 and park them in this work-item's SLM slot.
  simd<float, 16> part = v.select<16, 1>(0) + v.select<16, 1>(16);
  part += v.select<16, 1>(32);
  part += v.select<16, 1>(48);
  slm_block_store<float, 16>(l * 64, part);
  barrier();
  if (l == 0) {
    simd<float, 16> acc = 0;
    for (int i = 0; i < kItems; ++i) acc += slm_block_load<float, 16>(i * 64);
    simd<float, 8> total = 0;
    total.select<1, 1>(0) = reduce<float>(acc, std::plus<>());
    xesimd::lsc_block_store<float, 8, xesimd::lsc_data_size::default_size, cache_hint::write_back,
                            cache_hint::write_back>(out + g * 8, total);
  }
}

void launch(sycl::queue& q, const float* in, float* out, std::size_t groups) {
  q.submit([&](sycl::handler& cgh) {
    cgh.parallel_for<kernel_names::groupSum4096>(
        sycl::nd_range<2>({groups * kItems, 1}, {kItems, 1}),
        [=](sycl::nd_item<2> item) SYCL_ESIMD_KERNEL { groupSum4096(in, out, item); });
  });
}

double seconds_per_launch(sycl::queue& q, const float* in, float* out, std::size_t groups,
                          int reps) {
  q.wait();
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < reps; ++i) launch(q, in, out, groups);
  q.wait();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / reps;
}

}  // namespace

int main(int argc, char** argv) {
  const bool bench = argc > 1 && std::strcmp(argv[1], "--bench") == 0;
  const std::size_t groups = bench ? 4096 : 8;
  std::vector<float> host(groups * kPerGroup);
  for (std::size_t i = 0; i < host.size(); ++i) host[i] = static_cast<float>(i % 7) - 3.0f;

  xpuemu::device_buffer<float> in(host);
  xpuemu::device_buffer<float> out(groups * 8);
  sycl::queue q;
  launch(q, in.data(), out.data(), groups);
  const std::vector<float> result = out.download();

  int wrong = 0;
  for (std::size_t g = 0; g < groups; ++g) {
    const float expect =
        std::accumulate(host.begin() + g * kPerGroup, host.begin() + (g + 1) * kPerGroup, 0.0f);
    if (std::fabs(result[g * 8] - expect) > 1e-3f) ++wrong;
    if (!bench) std::printf("group %zu: sum %.1f (expected %.1f)\n", g, result[g * 8], expect);
  }
  for (const auto& r : xpuemu::launch_log()) {
    std::printf("launch %s global (%zu, %zu) local (%zu, %zu) slm %u bytes, %lu barriers\n",
                r.kernel.c_str(), r.global[0], r.global[1], r.local[0], r.local[1], r.slm_bytes,
                static_cast<unsigned long>(r.barriers));
    for (const auto& [addr, bytes] : r.loads)
      std::printf("  loads  %#lx: %lu bytes (%lu distinct)\n", static_cast<unsigned long>(addr),
                  static_cast<unsigned long>(bytes),
                  static_cast<unsigned long>(r.loads_unique.at(addr)));
    for (const auto& [addr, bytes] : r.stores)
      std::printf("  stores %#lx: %lu bytes\n", static_cast<unsigned long>(addr),
                  static_cast<unsigned long>(bytes));
    if (!r.error.empty()) std::printf("  error: %s\n", r.error.c_str());
  }

  if (bench) {
    const int reps = 20;
    xpuemu::set_poison(false);
    xpuemu::set_checking(false);
    const double off = seconds_per_launch(q, in.data(), out.data(), groups, reps);
    xpuemu::set_checking(true);
    const double on = seconds_per_launch(q, in.data(), out.data(), groups, reps);
    std::printf(
        "%zu groups of %d work-items (%.1f MiB read): checking off %.3f ms, on %.3f ms "
        "(overhead %+.1f %%)\n",
        groups, kItems, host.size() * 4.0 / (1 << 20), off * 1e3, on * 1e3, (on / off - 1) * 100);
  }
  std::printf("%s\n", wrong ? "MISMATCH" : "all group sums match");
  return wrong ? 1 : 0;
}
