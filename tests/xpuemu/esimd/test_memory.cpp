// Global and shared local memory access from kernels: data, the bytes the checker sees, and
// launches that fail on bad accesses.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <sycl/ext/intel/esimd.hpp>
#include <sycl/ext/intel/experimental/esimd.hpp>
#include <utility>
#include <vector>

using namespace sycl::ext::intel::esimd;
namespace xesimd = sycl::ext::intel::experimental::esimd;

namespace {

class DeviceMemory : public ::testing::Test {
 protected:
  void SetUp() override {
    xpuemu::set_checking(true);
    xpuemu::clear_launch_log();
  }
  void TearDown() override {
    for (void* p : allocs_) xpuemu::device_free(p);
  }
  template <typename T>
  T* alloc(std::size_t n) {
    allocs_.push_back(xpuemu::device_malloc(n * sizeof(T)));
    return static_cast<T*>(allocs_.back());
  }
  // Runs `kernel` as one work-group of `items` work-items and waits; returns the launch record.
  template <typename F>
  xpuemu::launch_record run(F kernel, int items = 1) {
    queue_.submit([&](sycl::handler& cgh) {
      cgh.parallel_for<class esimd_memory_test>(sycl::nd_range<2>({1, items}, {1, items}), kernel);
    });
    queue_.wait();
    return xpuemu::launch_log().back();
  }
  static std::uint64_t bytes(const std::map<std::uintptr_t, std::uint64_t>& m, const void* p) {
    auto it = m.find(reinterpret_cast<std::uintptr_t>(p));
    return it == m.end() ? 0 : it->second;
  }

  sycl::queue queue_;
  std::vector<void*> allocs_;
};

TEST_F(DeviceMemory, LscBlocksAndPredicates) {
  auto* src = alloc<std::uint32_t>(128);
  auto* dst = alloc<std::uint32_t>(256);
  auto* hdst = alloc<sycl::half>(128);
  for (int k = 0; k < 128; ++k) src[k] = k;
  const auto rec = run([=](sycl::nd_item<2>) SYCL_ESIMD_KERNEL {
    using xesimd::lsc_data_size;
    auto a = xesimd::lsc_block_load<std::uint32_t, 64, lsc_data_size::default_size,
                                    cache_hint::uncached, cache_hint::cached>(src);
    xesimd::lsc_block_store<std::uint32_t, 64>(dst, a);
    // Predicated off: pass_thru, no load; no store.
    auto b = xesimd::lsc_block_load<std::uint32_t, 64>(src + 64, simd_mask<1>(0),
                                                       simd<std::uint32_t, 64>(7));
    xesimd::lsc_block_store<std::uint32_t, 64>(dst + 64, b);
    xesimd::lsc_block_store<std::uint32_t, 64>(dst + 128, b + 1, simd_mask<1>(0));
    // Whole-vector copies: constructor from a pointer, copy_to with an alignment promise.
    simd<std::uint32_t, 8> c(src + 120, vector_aligned);
    c.copy_to(dst + 192, overaligned<16>);
    simd<sycl::half, 128> h = 1.5f;
    xesimd::lsc_block_store<sycl::half, 128, lsc_data_size::default_size, cache_hint::write_back,
                            cache_hint::write_back>(hdst, h);
  });
  EXPECT_EQ(bytes(rec.loads, src), 256u + 32);
  EXPECT_EQ(bytes(rec.stores, dst), 512u + 32);
  EXPECT_EQ(dst[199], 127u);
  EXPECT_EQ(bytes(rec.stores, hdst), 256u);
  for (int k = 0; k < 64; ++k) {
    EXPECT_EQ(dst[k], std::uint32_t(k));
    EXPECT_EQ(dst[64 + k], 7u);
  }
  EXPECT_EQ(float(hdst[127]), 1.5f);
}

TEST_F(DeviceMemory, GatherTouchesOnlyEnabledLanes) {
  auto* buf = alloc<float>(16);
  auto* out = alloc<float>(20);
  for (int k = 0; k < 16; ++k) buf[k] = float(k);
  const auto rec = run([=](sycl::nd_item<2>) SYCL_ESIMD_KERNEL {
    // Masked lanes point far outside the allocation.
    const simd<std::uint32_t, 8> offs({0, 4, 8, 12, 1u << 30, 16, 1u << 30, 60});
    simd<float, 8> g = gather<float, 8>(buf, offs, offs < 64, simd<float, 8>(-1.0f));
    g.copy_to(out);
    // Two elements per offset, element-major result.
    simd<float, 8> pairs = gather<float, 8, 2>(buf, simd<std::uint32_t, 4>(0, 8));
    pairs.copy_to(out + 8, overaligned<32>);
    // Offsets from a view (every other element), disabled lanes keep pass_thru.
    simd<std::uint32_t, 8> wide({40, 1u << 30, 44, 0, 1u << 30, 0, 48, 0});
    const auto view = wide.select<4, 2>(0);
    gather<float, 4>(buf, view, view < 64, simd<float, 4>(-2.0f)).copy_to(out + 16);
  });
  EXPECT_EQ(bytes(rec.loads, buf), 6u * 4 + 8u * 4 + 3u * 4);
  EXPECT_EQ(bytes(rec.stores, out), 80u);
  const float expected[20] = {0, 1, 2, 3, -1, 4, -1, 15, 0, 2, 4, 6, 1, 3, 5, 7, 10, 11, -2, 12};
  for (int k = 0; k < 20; ++k) EXPECT_EQ(out[k], expected[k]) << k;
}

TEST_F(DeviceMemory, BlockLoadStoreForms) {
  auto* src = alloc<float>(64);
  auto* dst = alloc<float>(64);
  auto* hdst = alloc<sycl::half>(8);
  for (int k = 0; k < 64; ++k) src[k] = float(k);
  dst[16] = 0;  // no access writes it
  const auto rec = run([=](sycl::nd_item<2>) SYCL_ESIMD_KERNEL {
    constexpr properties hints{cache_hint_L2<cache_hint::cached>,
                               cache_hint_L1<cache_hint::uncached>};
    constexpr properties store_hints{cache_hint_L1<cache_hint::write_back>, alignment<8>,
                                     cache_hint_L2<cache_hint::write_back>};
    simd<float, 8> a = block_load<float, 8>(src + 1);         // dword alignment is enough
    simd<float, 8> b = block_load<float, 8>(src, 36, hints);  // src[9..16]
    simd<float, 5> c = block_load<float, 5>(src + 20, properties{alignment<16>});
    simd<float, 4> d = block_load<float, 4>(src + 24, vector_aligned);          // older form
    simd<float, 8> e = block_load<float, 8>(src, 128, simd_mask<1>(1), hints);  // src[32..39]
    // Predicated off: no access even far outside any allocation.
    simd<float, 8> off = block_load<float, 8>(src + (1 << 24), simd_mask<1>(0), simd<float, 8>(-1));
    block_store(dst, a);
    block_store<float, 8>(dst, 32, b);
    block_store<float, 5>(dst + 17, c, properties{alignment<4>});
    block_store(dst + 22, d + e.select<4, 1>(0), simd_mask<1>(1), store_hints);
    block_store<float, 2>(dst + 26, e.select<2, 1>(4), simd_mask<1>(1));  // dword aligned
    block_store(dst + (1 << 24), off, simd_mask<1>(0));
    block_store<sycl::half, 3>(hdst + 1, simd<sycl::half, 3>(0.5f), properties{alignment<2>});
    block_store(dst + 28, off, overaligned<16>);
  });
  EXPECT_EQ(bytes(rec.loads, src), 4u * (8 + 8 + 5 + 4 + 8));
  EXPECT_EQ(bytes(rec.stores, dst), 4u * (8 + 8 + 5 + 4 + 2 + 8));
  EXPECT_EQ(bytes(rec.stores, hdst), 6u);
  const float expected[36] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12,
                              13, 14, 15, 16, 0,  20, 21, 22, 23, 24, 56, 58,
                              60, 62, 36, 37, -1, -1, -1, -1, -1, -1, -1, -1};
  for (int k = 0; k < 36; ++k) EXPECT_EQ(dst[k], expected[k]) << k;
  EXPECT_EQ(float(hdst[3]), 0.5f);
}

TEST_F(DeviceMemory, SharedLocalMemory) {
  auto* out = alloc<float>(24);
  const auto rec = run([=](sycl::nd_item<2>) SYCL_ESIMD_KERNEL {
    slm_init<2048>();
    slm_block_store<float, 16>(64, simd<float, 16>(0.0f, 1.0f));
    simd<float, 24> r;
    r.select<8, 1>(0) = slm_block_load<float, 8>(96);  // 8 .. 15
    slm_scatter<float, 4>(simd<std::uint32_t, 4>({0, 8, 4, 12}), simd<float, 4>({10, 11, 12, 13}),
                          simd_mask<4>({1, 1, 0, 1}));
    slm_scalar_store<float>(4, 99.0f);
    r.select<4, 1>(8) = slm_gather<float, 4>(simd<std::uint32_t, 4>(0, 4));  // 10 99 11 13
    slm_scatter<float, 4, 2>(simd<std::uint32_t, 2>({128, 256}), simd<float, 4>({1, 2, 3, 4}));
    r.select<4, 1>(12) = slm_block_load<float, 4>(128);  // 1 3 _ _ from the first lane
    r[14] = slm_scalar_load<float>(260);                 // 4
    r[15] = slm_block_load<float, 4>(512, simd_mask<1>(0), simd<float, 4>(-2.0f))[0];
    r.select<8, 1>(16) = slm_gather<float, 8, 2>(simd<std::uint32_t, 4>(64, 8));
    // Predicated blocks over 256 bytes and alignment<K> blocks need only that alignment.
    slm_block_store<float, 128>(1028, simd<float, 128>(0.0f, 1.0f), simd_mask<1>(1));
    r[13] = slm_block_load<float, 4>(1032, properties{alignment<8>})[2];  // element 3
    r[12] = slm_block_load<float, 128>(1028, simd_mask<1>(1))[127];
    fence<fence_mask::global_coherent_fence | fence_mask::local_barrier>();
    barrier();
    r.copy_to(out);
  });
  EXPECT_EQ(rec.slm_bytes, 2048u);
  const float expected[24] = {8,   9, 10, 11, 12, 13, 14, 15, 10, 99, 11, 13,
                              127, 3, 4,  -2, 0,  2,  4,  6,  1,  3,  5,  7};
  for (int k = 0; k < 24; ++k) EXPECT_EQ(out[k], expected[k]) << k;
}

TEST_F(DeviceMemory, BarrierOrdersSlmBetweenWorkItems) {
  auto* out = alloc<float>(4);
  const auto rec = run(
      [=](sycl::nd_item<2> it) SYCL_ESIMD_KERNEL {
        slm_init(64);
        const auto id = static_cast<std::uint32_t>(it.get_local_id(1));
        slm_scalar_store<float>(4 * id, 10.0f * id);
        barrier();
        simd<float, 1>(slm_scalar_load<float>(4 * ((id + 1) % 4))).copy_to(out + id);
      },
      4);
  EXPECT_EQ(rec.barriers, 1u);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(out[k], 10.0f * ((k + 1) % 4)) << k;
}

// Each bad access fails its launch with a message naming the access and its fault.
TEST_F(DeviceMemory, BadAccessesFailTheLaunch) {
  auto* p = alloc<std::uint32_t>(64);
  auto* q = reinterpret_cast<double*>(p);
  auto* h = reinterpret_cast<sycl::half*>(p);
  auto* s = alloc<std::uint16_t>(64);
  constexpr properties hints{cache_hint_L1<cache_hint::streaming>,
                             cache_hint_L2<cache_hint::uncached>};
  const std::vector<std::pair<std::function<void()>, const char*>> cases = {
      {[=] { block_load<std::uint32_t, 8>(p, 2); },
       "misaligned global read of 32 bytes by block_load"},
      {[=] { block_load<double, 2>(q, 4); }, "misaligned global read of 16 bytes by block_load"},
      {[=] { block_load<std::uint32_t, 4>(p + 4, properties{alignment<32>}); },
       "misaligned global read of 16 bytes by block_load"},
      {[=] { block_load<sycl::half, 8>(h + 1, hints); },
       "misaligned global read of 16 bytes by block_load"},
      {[=] { block_store<std::uint32_t, 4>(p + 1, 0); },
       "misaligned global write of 16 bytes by block_store"},
      {[=] { block_store<std::uint32_t, 4>(p, 8, 0, properties{alignment<16>}); },
       "misaligned global write of 16 bytes by block_store"},
      {[=] { block_store<sycl::half, 4>(h + 1, 0, simd_mask<1>(1)); },
       "misaligned global write of 8 bytes by block_store"},
      {[=] { block_load<std::uint32_t, 4>(p + 62); },
       "invalid global read of 16 bytes by block_load"},
      {[=] { xesimd::lsc_block_load<std::uint16_t, 8>(s + 1); },  // 2-byte aligned block
       "misaligned global read of 16 bytes by lsc_block_load"},
      {[=] { xesimd::lsc_block_store<std::uint16_t, 8>(s + 60, 0); },  // past the end
       "invalid global write of 16 bytes by lsc_block_store"},
      {[=] { simd<std::uint16_t, 8>(s + 8, overaligned<32>); },  // only 16-byte aligned
       "misaligned global read of 16 bytes by copy_from"},
      {[=] {  // the flags promise more than the block needs
         xesimd::lsc_block_load<std::uint32_t, 4>(reinterpret_cast<std::uint32_t*>(s + 2),
                                                  overaligned<8>);
       },
       "misaligned global read of 16 bytes by lsc_block_load"},
      {[=] { gather<std::uint16_t, 2>(s, simd<std::uint32_t, 2>(0, 1 << 20)); },
       "invalid global read of 2 bytes by gather"},
      {[] { slm_init(64), slm_block_store<float, 16>(16, 0); },
       "invalid SLM write of 64 bytes by slm_block_store"},
      {[] { slm_init(64), slm_block_load<float, 4>(8); },
       "misaligned SLM read of 16 bytes by slm_block_load"},
      {[] { slm_init(64), slm_block_store<float, 4>(40, 0); },
       "misaligned SLM write of 16 bytes by slm_block_store"},
      {[] { slm_init(64), slm_block_load<float, 4>(4, properties{alignment<8>}); },
       "misaligned SLM read of 16 bytes by slm_block_load"},
      {[] { slm_init(64), slm_block_load<double, 2>(4, simd_mask<1>(1)); },
       "misaligned SLM read of 16 bytes by slm_block_load"},
  };
  for (std::size_t k = 0; k < cases.size(); ++k) {
    const auto f = cases[k].first;
    std::string message = "no failure";
    try {
      run([=](sycl::nd_item<2>) SYCL_ESIMD_KERNEL { f(); });
    } catch (const sycl::exception& e) {
      message = e.what();
    }
    EXPECT_PRED_FORMAT2(testing::IsSubstring, cases[k].second, message) << k;
  }
}

}  // namespace
