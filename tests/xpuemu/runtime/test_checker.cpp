// The memory checker. Each planted fault is a small buggy kernel kept with the message it must
// produce; {A+n} in a message stands for the address n bytes past the start of the kernel's
// buffer, {B+n} for its second buffer.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <functional>
#include <regex>
#include <string>

#include "kernels.hpp"
#include "xpuemu/device_buffer.hpp"

namespace {

using namespace test_kernels;

// Recurses with 1 KiB frames until its stack gives out.
int recurse(int depth) {
  volatile char frame[1024];
  frame[depth % 1024] = static_cast<char>(depth);
  return depth > 1000000 ? 0 : recurse(depth + 1) + frame[0];
}

struct planted_fault {
  const char* name;
  // Launches the buggy kernel on buffers `a` (4096 floats) and `b` (64 floats).
  std::function<void(sycl::queue&, float* a, float* b)> launch;
  const char* expected;
};

const planted_fault kFaults[] = {
    {"oob_read",
     [](sycl::queue& q, float* a, float*) {
       // The last work-item's block starts 4096 bytes into a buffer of 16384: one group too many.
       launch<class oobRead>(q, 5, 4, [=](sycl::nd_item<2> it) SYCL_ESIMD_KERNEL {
         load<64>(a + it.get_global_id(0) * 256);
       });
     },
     "invalid global read of 256 bytes by lsc_block_load in kernel oobRead, work-group (4, 0), "
     "work-item (0, 0): [{A+16384}, {A+16640}) lies in no live allocation (it begins 0 bytes past "
     "the end of the allocation at {A+0} of 16384 bytes)"},
    {"oob_write",
     [](sycl::queue& q, float*, float* b) {
       // Stores 16 floats at element 56 of a 64-float buffer: 32 bytes too far.
       launch<class oobWrite>(q, 1, 8, [=](sycl::nd_item<2> it) SYCL_ESIMD_KERNEL {
         store<16>(b + it.get_local_id(0) * 8, simd<float, 16>(0.0f));
       });
     },
     "invalid global write of 64 bytes by lsc_block_store in kernel oobWrite, work-group (0, 0), "
     "work-item (7, 0): [{B+224}, {B+288}) overruns the allocation at {B+0} of 256 bytes by 32 "
     "bytes"},
    {"slm_overflow",
     [](sycl::queue& q, float*, float*) {
       // 16 work-items store 64 bytes each into 960 reserved bytes.
       launch<class slmOverflow>(q, 2, 16, [=](sycl::nd_item<2> it) SYCL_ESIMD_KERNEL {
         slm_init<960>();
         slm_block_store<float, 16>(it.get_local_id(0) * 64, simd<float, 16>(1.0f));
       });
     },
     "invalid SLM write of 64 bytes by slm_block_store in kernel slmOverflow, work-group (0, 0), "
     "work-item (15, 0): SLM offsets [960, 1024) exceed the 960 bytes reserved by slm_init"},
    {"misaligned_load",
     [](sycl::queue& q, float* a, float*) {
       launch<class misalignedLoad>(q, 1, 1, [=](sycl::nd_item<2>) SYCL_ESIMD_KERNEL {
         const float* p = reinterpret_cast<const float*>(reinterpret_cast<const char*>(a) + 2);
         load<16>(p);
       });
     },
     "misaligned global read of 64 bytes by lsc_block_load in kernel misalignedLoad, work-group "
     "(0, 0), work-item (0, 0): [{A+2}, {A+66}) starts at an address that is not 4-byte aligned"},
    {"misaligned_slm",
     [](sycl::queue& q, float*, float*) {
       launch<class misalignedSlm>(q, 1, 2, [=](sycl::nd_item<2> it) SYCL_ESIMD_KERNEL {
         slm_init<1024>();
         slm_block_store<float, 4>(it.get_local_id(0) * 8, simd<float, 4>(0.0f));
       });
     },
     "misaligned SLM write of 16 bytes by slm_block_store in kernel misalignedSlm, work-group (0, "
     "0), work-item (1, 0): SLM offset 8 is not 16-byte aligned"},
    {"barrier_divergence",
     [](sycl::queue& q, float*, float*) {
       launch<class barrierDivergence>(q, 3, 8, [=](sycl::nd_item<2> it) SYCL_ESIMD_KERNEL {
         if (it.get_local_id(0) >= 3) return;
         barrier();
       });
     },
     "barrier divergence in kernel barrierDivergence, work-group (0, 0): 3 of 8 work-items wait at "
     "barrier 1 (first: work-item (0, 0)) while work-item (3, 0) has returned"},
    {"foreign_exception",
     [](sycl::queue& q, float*, float*) {
       launch<class throwsInt>(q, 2, 2, [=](sycl::nd_item<2> it) SYCL_ESIMD_KERNEL {
         if (it.get_group(0) == 1 && it.get_local_id(0) == 1) throw 42;
       });
     },
     "exception of unknown type in kernel throwsInt, work-group (1, 0), work-item (1, 0)"},
    {"barrier_sites",
     [](sycl::queue& q, float*, float*) {
       launch<class barrierSites>(q, 1, 4, [=](sycl::nd_item<2> it) SYCL_ESIMD_KERNEL {
         if (it.get_local_id(0) < 2) {
           barrier();
         } else {
           barrier();
         }
       });
     },
     "barrier divergence in kernel barrierSites, work-group (0, 0): work-items wait at different "
     "barriers 1: work-item (0, 0) at test_checker.cpp:102, work-item (2, 0) at "
     "test_checker.cpp:104"},
    {"stack_overflow",
     [](sycl::queue& q, float*, float*) {
       launch<class deepRecursion>(q, 2, 2, [=](sycl::nd_item<2> it) SYCL_ESIMD_KERNEL {
         if (it.get_local_id(0) == 1) recurse(0);
       });
     },
     "stack overflow in kernel deepRecursion, work-group (0, 0), work-item (1, 0): the work-item "
     "used more than 262144 bytes of stack (XPUEMU_STACK_BYTES)"},
    {"time_limit",
     [](sycl::queue& q, float* a, float*) {
       xpuemu::set_launch_timeout(0.25);
       launch<class spinsForever>(q, 1, 2, [=](sycl::nd_item<2>) SYCL_ESIMD_KERNEL {
         for (;;) {
           load<16>(a);
         }
       });
     },
     "time limit exceeded in kernel spinsForever, work-group (0, 0), work-item (0, 0): the launch "
     "ran longer than its limit of 0.25 s (XPUEMU_LAUNCH_TIMEOUT_S)"},
    {"wild_read",
     [](sycl::queue& q, float* a, float*) {
       // 1 MiB past the buffer's end: too far for the message to name an allocation.
       launch<class wildRead>(
           q, 1, 1, [=](sycl::nd_item<2>) SYCL_ESIMD_KERNEL { load<16>(a + 4096 + 262144); });
     },
     "invalid global read of 64 bytes by lsc_block_load in kernel wildRead, work-group (0, 0), "
     "work-item (0, 0): [{A+1064960}, {A+1065024}) lies in no live allocation"},
};

// Replaces {A+n} and {B+n} by the addresses they stand for.
std::string expand(const std::string& text, const float* a, const float* b) {
  static const std::regex placeholder(R"(\{([AB])\+(\d+)\})");
  std::string out;
  auto pos = text.cbegin();
  for (std::sregex_iterator m(text.begin(), text.end(), placeholder), end; m != end; ++m) {
    out.append(pos, (*m)[0].first);
    const auto base = reinterpret_cast<std::uintptr_t>((*m)[1] == "A" ? a : b);
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%" PRIxPTR, base + std::stoul((*m)[2]));
    out += buf;
    pos = (*m)[0].second;
  }
  out.append(pos, text.cend());
  return out;
}

class PlantedFault : public testing::TestWithParam<planted_fault> {};

TEST_P(PlantedFault, StopsTheLaunchWithItsMessage) {
  const planted_fault& f = GetParam();
  xpuemu::set_checking(true);
  xpuemu::device_buffer<float> a(4096), b(64);
  sycl::queue q;
  xpuemu::clear_launch_log();
  f.launch(q, a.data(), b.data());
  const std::string expected = expand(f.expected, a.data(), b.data());
  EXPECT_EQ(error_of([&] { q.wait(); }), expected);
  xpuemu::set_launch_timeout(0);
  const auto log = xpuemu::launch_log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].error, expected);
}

INSTANTIATE_TEST_SUITE_P(Kernels, PlantedFault, testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Checker, UseAfterFreeIsReported) {
  sycl::queue q;
  float* stale = xpuemu::device_buffer<float>(64).data();
  launch<class freedRead>(q, 1, 1, [=](sycl::nd_item<2>) SYCL_ESIMD_KERNEL { load<16>(stale); });
  EXPECT_PRED_FORMAT2(testing::IsSubstring, "lies in no live allocation",
                      error_of([&] { q.wait(); }));
}

TEST(Checker, DistinctLoadedBytesAreExact) {
  xpuemu::device_buffer<float> buf(64);
  const float* p = buf.data();
  sycl::queue q;
  xpuemu::clear_launch_log();
  launch<class overlappingLoads>(q, 2, 1, [=](sycl::nd_item<2>) SYCL_ESIMD_KERNEL {
    load<16>(p);  // bytes [0, 64), by both groups, twice
    load<16>(p);  // a repeated read still counts in "loads"
    // Bytes [48, 80): half in the block's line, half whole words past it.
    block_load<float, 8>(p + 12);
    // Single bytes at 62 (inside the block), 64 and 66 (inside those words) and 81 (past them).
    gather<uint8_t, 4>(reinterpret_cast<const uint8_t*>(p), simd<uint32_t, 4>({62, 64, 66, 81}),
                       simd_mask<4>(1));
  });
  const auto log = xpuemu::launch_log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].loads.at(addr(p)), 2u * (2 * 64 + 32 + 4));
  EXPECT_EQ(log[0].loads_unique.at(addr(p)), 64u + 16 + 1);  // [0, 80) and byte 81

  // 258 bytes: the last two lie past the last whole word.
  xpuemu::device_buffer<uint8_t> odd(258);
  const uint8_t* po = odd.data();
  xpuemu::clear_launch_log();
  launch<class oddSizedBuffer>(q, 1, 1, [=](sycl::nd_item<2>) SYCL_ESIMD_KERNEL {
    xesimd::lsc_block_load<uint8_t, 256, xesimd::lsc_data_size::default_size, cache_hint::cached,
                           cache_hint::cached>(po);
    gather<uint8_t, 2>(po, simd<uint32_t, 2>({256, 257}), simd_mask<2>(1));
  });
  const auto odd_log = xpuemu::launch_log();
  ASSERT_EQ(odd_log.size(), 1u);
  EXPECT_EQ(odd_log[0].loads_unique.at(addr(po)), 258u);
}

// After an allocation's first access its whole-line reads and its writes are counted inline;
// the counts must stay exact across work-items, groups and threads.
TEST(Checker, InlineCountsAreExact) {
  xpuemu::device_buffer<float> in(1024), out(1024);
  const float* pi = in.data();
  float* po = out.data();
  sycl::queue q;
  xpuemu::clear_launch_log();
  // Work-item w of group g reads 256 bytes at 64 (8 g + w): neighbours overlap by three lines.
  launch<class overlappingBlocks>(q, 4, 8, [=](sycl::nd_item<2> it) SYCL_ESIMD_KERNEL {
    const std::size_t w = it.get_global_id(0);
    simd<float, 64> v = load<64>(pi + 16 * w);
    store<16>(po + 16 * w, v.select<16, 1>(0));
  });
  const auto log = xpuemu::launch_log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].error, "");
  EXPECT_EQ(log[0].loads.at(addr(pi)), 32u * 256);
  EXPECT_EQ(log[0].loads_unique.at(addr(pi)), 31u * 64 + 256);
  EXPECT_EQ(log[0].stores.at(addr(po)), 32u * 64);
}

TEST(Checker, PoisonMarksUnwrittenMemory) {
  xpuemu::set_poison(true);
  xpuemu::device_buffer<float> buf(4);
  const auto host = buf.download();
  for (float v : host) EXPECT_TRUE(std::isnan(v));
}

}  // namespace
