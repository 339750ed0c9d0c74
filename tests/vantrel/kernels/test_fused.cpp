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

// D, B, C, H, H_kv, start.
using RotaryCase =
    std::tuple<std::size_t, std::size_t, std::size_t, std::size_t, std::size_t, std::size_t>;
class RotaryCacheKernel : public testing::TestWithParam<RotaryCase> {};

TEST_P(RotaryCacheKernel, MatchesModelReadingEachByteOnce) {
  const auto [D, B, C, H, H_kv, start] = GetParam();
  const std::size_t L = start + C + 2, P = start + C + 3, width = (H + 2 * H_kv) * D;
  const std::size_t stride = width + 2 * D;  // rows of a wider tensor
  const std::vector<fp16> qkv = normal<fp16>(B * C * stride, unsigned(D + B));
  const std::vector<float> cos = normal<float>(P * D, 3), sin = normal<float>(P * D, 4);
  std::vector<fp16> k_cache = normal<fp16>(B * H_kv * L * D, 5);
  std::vector<fp16> v_cache = normal<fp16>(B * H_kv * L * D, 6);
  buffer<fp16> xd(qkv), kd(k_cache), vd(v_cache), qd(B * H * C * D);
  buffer<float> cd(cos), sd(sin);
  const vk::rotary_cache_params p{raw(xd),         raw(cd),        raw(sd),     raw(qd),
                                  raw(kd),         raw(vd),        uint32_t(B), uint32_t(C),
                                  uint32_t(H),     uint32_t(H_kv), uint32_t(L), uint32_t(start),
                                  uint32_t(stride)};
  sycl::queue queue;
  xpuemu::clear_launch_log();
  vk::launch_rotary_cache(queue, p, int64_t(D));

  std::vector<fp16> q(B * H * C * D);
  for (std::size_t b = 0; b < B; ++b)
    for (std::size_t t = 0; t < C; ++t) {
      const fp16* row = &qkv[(b * C + t) * stride];
      const float *cs = &cos[(start + t) * D], *sn = &sin[(start + t) * D];
      for (std::size_t h = 0; h < H; ++h)
        fused_models::rotate(row + h * D, cs, sn, D, &q[((b * H + h) * C + t) * D]);
      for (std::size_t g = 0; g < H_kv; ++g) {
        const std::size_t at = ((b * H_kv + g) * L + start + t) * D;
        fused_models::rotate(row + (H + g) * D, cs, sn, D, &k_cache[at]);
        std::memcpy(&v_cache[at], row + (H + H_kv + g) * D, D * sizeof(fp16));
      }
    }
  expect_bits(qd, q);
  expect_bits(kd, k_cache);  // the other rows untouched
  expect_bits(vd, v_cache);
  expect_single_reads(
      vk::rotary_cache_kernel_name(int64_t(D)),
      {{xd.data(), B * C * width * 2}, {cd.data(), C * D * 4}, {sd.data(), C * D * 4}});
}

// Heads of one chunk to sixteen (halves D / 2 not whole chunks: 16, 48, 80), one and several
// positions, grouped and ungrouped heads, more head rows per position than 64 work-items.
INSTANTIATE_TEST_SUITE_P(
    Sizes, RotaryCacheKernel,
    testing::Values(RotaryCase{16, 1, 1, 4, 2, 0}, RotaryCase{48, 2, 3, 2, 1, 5},
                    RotaryCase{64, 3, 1, 8, 2, 9}, RotaryCase{128, 2, 1, 32, 32, 17},
                    RotaryCase{128, 1, 8, 4, 4, 0}, RotaryCase{80, 8, 2, 6, 3, 1},
                    RotaryCase{256, 2, 2, 2, 1, 3}));

// I, M, padding of the gate_up rows.
using SiluCase = std::tuple<std::size_t, std::size_t, std::size_t>;
class SiluMulKernel : public testing::TestWithParam<SiluCase> {};

TEST_P(SiluMulKernel, MatchesModelReadingEachByteOnce) {
  const auto [I, M, pad] = GetParam();
  const std::size_t stride = 2 * I + pad;
  std::vector<fp16> gate_up = normal<fp16>(M * stride, unsigned(I + M), 6.0f);
  // The exponential overflowing or vanishing, infinities, NaN.
  const float inf = std::numeric_limits<float>::infinity();
  const float specials[] = {-65504.0f, 65504.0f, -20.0f, 6e-8f, inf, -inf, std::nanf("")};
  for (std::size_t i = 0; i < std::size(specials) && i < I; ++i) gate_up[i] = fp16(specials[i]);
  buffer<fp16> gd(gate_up), od(M * I);
  const vk::silu_mul_params p{raw(gd), raw(od), uint32_t(M), uint32_t(I), uint32_t(stride)};
  sycl::queue queue;
  xpuemu::clear_launch_log();
  vk::launch_silu_mul(queue, p);
  std::vector<fp16> want(M * I);
  for (std::size_t m = 0; m < M; ++m)
    for (std::size_t i = 0; i < I; ++i)
      want[m * I + i] =
          fused_models::silu_mul(gate_up[m * stride + i], gate_up[m * stride + I + i]);
  expect_bits(od, want);
  expect_single_reads(vk::silu_mul_kernel_name(int64_t(I)), {{gd.data(), M * 2 * I * 2}});
}

// One chunk; tiles of 128 whole and partial (144; 1008: the last tile 112); listed sizes.
INSTANTIATE_TEST_SUITE_P(Sizes, SiluMulKernel,
                         testing::Values(SiluCase{16, 1, 0}, SiluCase{96, 3, 2},
                                         SiluCase{144, 5, 0}, SiluCase{1008, 8, 64},
                                         SiluCase{11008, 1, 0}, SiluCase{14336, 3, 32}));

// Sizes without a kernel and empty calls are refused before anything is submitted.
TEST(FusedLaunch, RefusesSizesWithoutKernel) {
  sycl::queue queue;
  xpuemu::clear_launch_log();
  for (uint32_t H : {0u, 8u, 40u, 32784u})
    EXPECT_THROW(vk::launch_add_rms_norm(queue, {nullptr, nullptr, nullptr, nullptr, 1, H, H, 0}),
                 std::invalid_argument);
  EXPECT_THROW(vk::launch_add_rms_norm(queue, {nullptr, nullptr, nullptr, nullptr, 0, 64, 64, 0}),
               std::invalid_argument);
  for (uint32_t I : {0u, 24u, 65552u})
    EXPECT_THROW(vk::launch_silu_mul(queue, {nullptr, nullptr, 1, I, 2 * I}),
                 std::invalid_argument);
  vk::rotary_cache_params rotary{nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 1,
                                 1,       1,       1,       4,       0,       384};
  for (int64_t D : {0, 8, 72, 272})
    EXPECT_THROW(vk::launch_rotary_cache(queue, rotary, D), std::invalid_argument);
  rotary.positions = 0;
  EXPECT_THROW(vk::launch_rotary_cache(queue, rotary, 128), std::invalid_argument);
  EXPECT_TRUE(xpuemu::launch_log().empty());
}

}  // namespace
