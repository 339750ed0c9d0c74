// The executor: cooperative work-groups, range checks, launch order and times, deferred frees and
// asynchronous failures.
#include <gtest/gtest.h>

#include <chrono>
#include <numeric>
#include <thread>
#include <vector>

#include "kernels.hpp"
#include "xpuemu/device_buffer.hpp"

namespace {

using namespace test_kernels;

// Each group of 16 work-items sums 16 x 16 floats: partials meet in SLM behind a barrier, then
// work-item 0 stores the total. Two rounds of passing values to the neighbour first exercise
// re-use of the SLM slots across barriers.
TEST(Executor, CooperativeReductionMatchesHost) {
  constexpr std::size_t groups = 5;
  std::vector<float> host(groups * 256);
  std::iota(host.begin(), host.end(), 0.0f);
  xpuemu::device_buffer<float> in(host), out(groups * 8);
  const float* pi = in.data();
  float* po = out.data();
  sycl::queue q;
  xpuemu::clear_launch_log();
  launch<class groupReduce>(q, groups, 16, [=](sycl::nd_item<2> it) SYCL_ESIMD_KERNEL {
    slm_init<16 * 64>();
    const uint32_t l = it.get_local_id(0), g = it.get_group(0);
    simd<float, 16> v = load<16>(pi + (g * 16 + l) * 16);
    for (int round = 0; round < 2; ++round) {
      slm_block_store<float, 16>(l * 64, v);
      barrier();
      v = slm_block_load<float, 16>(((l + 1) % 16) * 64) + 0.0f;
      barrier();
    }
    slm_block_store<float, 16>(l * 64, v);
    barrier();
    if (l == 0) {
      simd<float, 16> acc = 0;
      for (int i = 0; i < 16; ++i) acc += slm_block_load<float, 16>(i * 64);
      store<8>(po + g * 8, simd<float, 8>(reduce<float>(acc, std::plus<>())));
    }
  });
  const auto got = out.download();
  for (std::size_t g = 0; g < groups; ++g)
    EXPECT_EQ(got[g * 8], std::accumulate(&host[g * 256], &host[(g + 1) * 256], 0.0f)) << g;
  const auto log = xpuemu::launch_log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].kernel, "groupReduce");
  EXPECT_EQ(log[0].barriers, groups * 5);
  EXPECT_EQ(log[0].slm_bytes, 16u * 64);
  EXPECT_EQ(log[0].loads.at(addr(pi)), groups * 256 * 4);
  EXPECT_EQ(log[0].stores.at(addr(po)), groups * 32);
}

struct range_case {
  std::size_t global[2], local[2];
  const char* message;  // nullptr: accepted
};

class RangeCheck : public testing::TestWithParam<range_case> {};

TEST_P(RangeCheck, ThrownBySubmit) {
  const range_case& c = GetParam();
  sycl::queue q;
  try {
    q.submit([&](sycl::handler& cgh) {
      cgh.parallel_for<class rangeProbe>(
          sycl::nd_range<2>({c.global[0], c.global[1]}, {c.local[0], c.local[1]}),
          [=](sycl::nd_item<2>) {});
    });
  } catch (const sycl::exception& e) {
    EXPECT_STREQ(e.what(), c.message);
    EXPECT_EQ(e.code(), sycl::make_error_code(sycl::errc::nd_range));
    return;
  }
  EXPECT_EQ(c.message, nullptr) << "no exception";
  EXPECT_NO_THROW(q.wait());
}

constexpr const char* kRange =
    "Provided range is out of integer limits. Pass `-fno-sycl-id-queries-fit-in-int' to disable "
    "range check.";
constexpr const char* kUniform = "Non-uniform work-groups are not supported by the target device";

INSTANTIATE_TEST_SUITE_P(
    Ranges, RangeCheck,
    testing::Values(range_case{{1u << 31, 1}, {1, 1}, kRange},
                    range_case{{65536, 32768}, {1, 1}, kRange},  // product 2^31
                    range_case{{64, 1}, {1u << 31, 1}, kRange},
                    range_case{{96, 1}, {64, 1}, kUniform}, range_case{{64, 1}, {0, 1}, kUniform},
                    range_case{{0, 1}, {0, 1}, nullptr},  // empty: runs nothing, completes
                    range_case{{(1u << 31) - 1, 0}, {1, 1}, nullptr}));  // largest extent, empty

TEST(Executor, EmptyRangeIsLoggedAndCompletes) {
  sycl::queue q;
  xpuemu::clear_launch_log();
  q.submit([&](sycl::handler& cgh) {
     cgh.parallel_for<class emptyLaunch>(sycl::nd_range<2>({0, 4}, {8, 4}), [=](sycl::nd_item<2>) {
       throw std::runtime_error("ran");
     });
   }).wait();
  const auto log = xpuemu::launch_log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].kernel, "emptyLaunch");
  EXPECT_EQ(log[0].error, "");
  EXPECT_GT(log[0].start_ns, 0u);
  EXPECT_EQ(log[0].start_ns, log[0].end_ns);
}

std::uint64_t steady_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

TEST(Executor, LaunchTimesSpanTheWorkInOrder) {
  constexpr std::uint64_t kSleepNs = 20'000'000;
  sycl::queue q;
  xpuemu::clear_launch_log();
  const std::uint64_t before = steady_ns();
  for (int i = 0; i < 3; ++i)
    launch<class sleepy>(q, 2, 2, [=](sycl::nd_item<2> it) SYCL_ESIMD_KERNEL {
      if (i == 1 && it.get_global_id(0) == 3)
        std::this_thread::sleep_for(std::chrono::nanoseconds(kSleepNs));
    });
  const auto log = xpuemu::launch_log();  // waits: every record is complete
  const std::uint64_t after = steady_ns();
  ASSERT_EQ(log.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {  // on the test's clock, one after another
    EXPECT_LE(i == 0 ? before : log[i - 1].end_ns, log[i].start_ns) << i;
    EXPECT_LE(log[i].start_ns, log[i].end_ns) << i;
  }
  EXPECT_LE(log[2].end_ns, after);
  EXPECT_GE(log[1].end_ns - log[1].start_ns, kSleepNs);  // includes the slowest work-group
}

TEST(Executor, LaunchesRunInSubmissionOrder) {
  std::vector<float> zeros(64, 0.0f);
  xpuemu::device_buffer<float> buf(zeros);
  float* p = buf.data();
  sycl::queue q;
  for (int i = 0; i < 10; ++i)
    launch<class addOne>(q, 4, 1, [=](sycl::nd_item<2> it) SYCL_ESIMD_KERNEL {
      float* row = p + it.get_group(0) * 16;
      store<16>(row, load<16>(row) * 2.0f + 1.0f);  // order-sensitive: 2x + 1
    });
  for (float v : buf.download()) EXPECT_EQ(v, 1023.0f);
}

// Work-item 0 sums what the group staged in SLM, block after block. Without the second barrier
// the others may stage the next block before it has read this one.
template <typename Name, bool kSecondBarrier>
std::vector<float> leader_sums(sycl::queue& q) {
  xpuemu::device_buffer<float> out(16);
  float* po = out.data();
  launch<Name>(q, 1, 8, [=](sycl::nd_item<2> it) SYCL_ESIMD_KERNEL {
    slm_init<8 * 16>();
    const uint32_t l = it.get_local_id(0);
    for (int block = 0; block < 2; ++block) {
      slm_block_store<float, 4>(l * 16, simd<float, 4>(float(block * 8 + l)));
      barrier();
      if (l == 0) {
        simd<float, 8> sum = 0;
        for (int i = 0; i < 8; ++i) sum += slm_block_load<float, 4>(i * 16)[0];
        store<8>(po + block * 8, sum);
      }
      if (kSecondBarrier) barrier();
    }
  });
  return out.download();
}

TEST(Executor, MissingBarrierShowsInResults) {
  sycl::queue q;
  const std::vector<float> synced = leader_sums<class leaderSync, true>(q);
  EXPECT_EQ(synced[0], 28.0f);  // 0 + 1 + ... + 7
  EXPECT_EQ(synced[8], 92.0f);  // 8 + 9 + ... + 15
  const std::vector<float> racy = leader_sums<class leaderRace, false>(q);
  EXPECT_NE(racy[0], 28.0f);
}

TEST(Executor, FreeIsDeferredUntilEarlierLaunchesRan) {
  std::vector<float> ones(1 << 16, 1.0f);
  xpuemu::device_buffer<float> out(1 << 16);
  float* po = out.data();
  sycl::queue q;
  {
    xpuemu::device_buffer<float> in(ones);
    const float* pi = in.data();
    launch<class slowCopy>(q, 1024, 1, [=](sycl::nd_item<2> it) SYCL_ESIMD_KERNEL {
      const std::size_t off = it.get_group(0) * 64;
      for (int rep = 0; rep < 50; ++rep) store<64>(po + off, load<64>(pi + off));
    });
  }  // `in` freed while the launch may still be pending
  EXPECT_NO_THROW(q.wait());
  for (float v : out.download()) ASSERT_EQ(v, 1.0f);
}

TEST(Executor, FailuresSurfaceAtTheNextWaitOnce) {
  xpuemu::device_buffer<float> buf(16);
  float* p = buf.data();
  sycl::queue q;
  auto bad = [&] {
    return launch<class oobStore>(q, 2, 1, [=](sycl::nd_item<2> it) SYCL_ESIMD_KERNEL {
      store<16>(p + it.get_group(0) * 16, simd<float, 16>(1.0f));
    });
  };
  sycl::event first = bad();
  bad();
  launch<class addOne>(q, 1, 1, [=](sycl::nd_item<2>) SYCL_ESIMD_KERNEL {
    store<16>(p, simd<float, 16>(7.0f));
  });  // launches after a failed one still run
  const std::string first_error = error_of([&] { first.wait(); });
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "invalid global write of 64 bytes", first_error);
  EXPECT_PRED_FORMAT2(testing::IsNotSubstring, "more", first_error) << "only the first is due";
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "kernel oobStore, work-group (1, 0)",
                      error_of([&] { q.wait(); }));
  EXPECT_NO_THROW(q.wait());  // forgotten once reported
  EXPECT_EQ(buf.download()[0], 7.0f);

  bad();
  bad();
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "(and 1 more)",
                      error_of<xpuemu::launch_error>([] { xpuemu::synchronize(); }));
  EXPECT_NO_THROW(xpuemu::synchronize());
}

}  // namespace
