// The decoding step's fused kernels on the platform layer, against host models of their order
// (no PyTorch): bits, the kernel's name, every input byte read once.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "fused_models.hpp"
#include "vantrel/kernels/fused_launch.hpp"
#include "xpuemu/device_buffer.hpp"

namespace {

using fused_models::fp16;
namespace vk = vantrel::kernels;
template <typename T>
using buffer = xpuemu::device_buffer<T>;

template <typename T>
std::vector<T> normal(std::size_t count, unsigned seed, float scale = 1.0f) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> dist(0.0f, scale);
  std::vector<T> out(count);
  for (T& x : out) x = T(dist(gen));
  return out;
}

template <typename T>
uint8_t* raw(const buffer<T>& b) {
  return reinterpret_cast<uint8_t*>(b.data());
}

template <typename T>
void expect_bits(const buffer<T>& got, const std::vector<T>& want) {
  const std::vector<T> g = got.download();
  ASSERT_EQ(g.size(), want.size());
  EXPECT_EQ(std::memcmp(g.data(), want.data(), g.size() * sizeof(T)), 0);
}

// The one launch since the log was cleared: `kernel`, no failure, and `bytes` read once from each
// buffer of `reads` (by address), nothing from any other.
void expect_single_reads(const std::string& kernel,
                         const std::vector<std::pair<const void*, uint64_t>>& reads) {
  const auto log = xpuemu::launch_log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].error, "");
  EXPECT_EQ(log[0].kernel, kernel);
  EXPECT_EQ(log[0].loads.size(), reads.size());
  for (const auto& [buf, bytes] : reads) {
    EXPECT_EQ(log[0].loads.at(reinterpret_cast<uintptr_t>(buf)), bytes);
    EXPECT_EQ(log[0].loads_unique.at(reinterpret_cast<uintptr_t>(buf)), bytes);
  }
}

// H, M, whether delta is given and the padding of its rows.
using NormCase = std::tuple<std::size_t, std::size_t, bool, std::size_t>;
class AddRmsNormKernel : public testing::TestWithParam<NormCase> {};

TEST_P(AddRmsNormKernel, MatchesModelReadingEachByteOnce) {
  const auto [H, M, with_delta, pad] = GetParam();
  std::vector<float> residual = normal<float>(M * H, unsigned(H + M), 3.0f);
  const std::vector<fp16> delta = normal<fp16>(M * (H + pad), 7);
  const std::vector<float> weight = normal<float>(H, 11);
  buffer<float> rd(residual), wd(weight);
  buffer<fp16> dd(delta), od(M * H);
  const vk::add_rms_norm_params p{raw(rd),           with_delta ? raw(dd) : nullptr,
                                  raw(wd),           raw(od),
                                  uint32_t(M),       uint32_t(H),
                                  uint32_t(H + pad), 1e-5f};
  sycl::queue queue;
  xpuemu::clear_launch_log();
  vk::launch_add_rms_norm(queue, p);
  expect_bits(od, fused_models::add_rms_norm(residual, with_delta ? delta.data() : nullptr, H + pad,
                                             weight, M, H, 1e-5f));
  expect_bits(rd, residual);
  std::vector<std::pair<const void*, uint64_t>> reads{{rd.data(), rd.bytes()},
                                                      {wd.data(), wd.bytes()}};
  if (with_delta) reads.emplace_back(dd.data(), M * H * sizeof(fp16));
  expect_single_reads(vk::add_rms_norm_kernel_name(H), reads);
}

// One chunk (16) to 32 per work-item (32768); c not dividing H / 16 (1040: 33 work-items, the last
// with one chunk; 6000: 63, the last with three); listed hidden sizes and others.
INSTANTIATE_TEST_SUITE_P(Sizes, AddRmsNormKernel,
                         testing::Values(NormCase{16, 1, true, 0}, NormCase{80, 3, false, 0},
                                         NormCase{1040, 2, true, 6}, NormCase{2048, 8, true, 0},
                                         NormCase{4096, 5, false, 0}, NormCase{5120, 3, true, 2},
                                         NormCase{6000, 4, true, 0}, NormCase{32768, 2, true, 16}));

// Sizes without a kernel and empty calls are refused before anything is submitted.
TEST(FusedLaunch, RefusesSizesWithoutKernel) {
  sycl::queue queue;
  xpuemu::clear_launch_log();
  for (uint32_t H : {0u, 8u, 40u, 32784u})
    EXPECT_THROW(vk::launch_add_rms_norm(queue, {nullptr, nullptr, nullptr, nullptr, 1, H, H, 0}),
                 std::invalid_argument);
  EXPECT_THROW(vk::launch_add_rms_norm(queue, {nullptr, nullptr, nullptr, nullptr, 0, 64, 64, 0}),
               std::invalid_argument);
  EXPECT_TRUE(xpuemu::launch_log().empty());
}

}  // namespace
