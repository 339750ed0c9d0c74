// The linear kernels on the platform layer, against host models of their order (no PyTorch).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "linear_models.hpp"
#include "vantrel/kernels/linear_launch.hpp"
#include "xpuemu/device_buffer.hpp"
#include "xpuemu/runtime.hpp"

namespace {

using linear_models::fp16;
namespace vk = vantrel::kernels;
using reads = std::vector<std::pair<const void*, size_t>>;

struct linear_case {
  bool arranged;  // weights in blocks of 16 output features, else row-major
  int K, N, M;
};

std::string case_name(const testing::TestParamInfo<linear_case>& info) {
  const linear_case& c = info.param;
  return std::string(c.arranged ? "Arranged" : "RowMajor") + "K" + std::to_string(c.K) + "N" +
         std::to_string(c.N) + "M" + std::to_string(c.M);
}

std::vector<fp16> uniform_halves(std::mt19937& gen, size_t count, float scale) {
  std::uniform_real_distribution<float> uniform(-scale, scale);
  std::vector<fp16> v(count);
  for (fp16& e : v) e = fp16(uniform(gen));
  return v;
}

std::vector<uint16_t> bits(const std::vector<fp16>& v) {
  std::vector<uint16_t> b(v.size());
  std::memcpy(b.data(), v.data(), v.size() * sizeof(fp16));
  return b;
}

// Element (n, j) of an [N][length] matrix in the family's layout: rows, or blocks of 16 rows with
// (n, j) at ((n / 16) length + j) 16 + n % 16.
size_t at(bool arranged, int n, int j, int length) {
  return arranged ? (size_t(n / 16) * length + j) * 16 + n % 16 : size_t(n) * length + j;
}

const uint8_t* in(const xpuemu::device_buffer<fp16>& b) {
  return reinterpret_cast<const uint8_t*>(b.data());
}

// Runs `launch(queue, input, output)` on x and checks the output against the family's host model
// on the row-major weights w bit for bit, and the one launch: gemmCommonDim{K}{format}V0 (arranged)
// or ..NoReshape, no failure, every byte of `weights` read exactly once, the input read again by
// every work-group (blocked: once per group of 16 outputs; row-major: once per output) but each
// byte distinct once, nothing else read, the output written whole.
template <typename Launch>
void check_linear(const linear_case& c, const std::vector<fp16>& x, const std::vector<fp16>& w,
                  const std::string& format, const reads& weights, Launch launch) {
  xpuemu::device_buffer<fp16> xd(x), yd(size_t(c.M) * c.N);
  sycl::queue queue;
  xpuemu::clear_launch_log();
  launch(queue, in(xd), reinterpret_cast<uint8_t*>(yd.data()));

  const auto dot = c.arranged ? linear_models::arranged_dot : linear_models::row_major_dot;
  EXPECT_EQ(bits(yd.download()), bits(linear_models::linear(x, w, c.M, c.N, c.K, dot)));

  const auto log = xpuemu::launch_log();
  ASSERT_EQ(log.size(), 1u);
  const xpuemu::launch_record& rec = log[0];
  EXPECT_EQ(rec.error, "");
  EXPECT_EQ(rec.kernel,
            "gemmCommonDim" + std::to_string(c.K) + format + (c.arranged ? "V0" : "NoReshape"));
  for (const auto& [buf, size] : weights) {
    EXPECT_EQ(rec.loads.at(reinterpret_cast<uintptr_t>(buf)), size);
    EXPECT_EQ(rec.loads_unique.at(reinterpret_cast<uintptr_t>(buf)), size);
  }
  const auto xa = reinterpret_cast<uintptr_t>(xd.data());
  EXPECT_EQ(rec.loads_unique.at(xa), xd.bytes());
  EXPECT_EQ(rec.loads.at(xa), xd.bytes() * (c.arranged ? c.N / 16 : c.N));
  EXPECT_EQ(rec.loads.size(), weights.size() + 1);
  EXPECT_EQ(rec.stores.at(reinterpret_cast<uintptr_t>(yd.data())), yd.bytes());
}

class LinearKernel : public testing::TestWithParam<linear_case> {};

// Random data through the width's launcher, in the layout the family reads.
TEST_P(LinearKernel, MatchesHostModelBitForBit) {
  const linear_case& c = GetParam();
  std::mt19937 gen(c.K * 16 + c.M);
  const std::vector<fp16> x = uniform_halves(gen, size_t(c.M) * c.K, 1.0f);
  const std::vector<fp16> w = uniform_halves(gen, size_t(c.N) * c.K, 0.125f);
  std::vector<fp16> layout(w.size());
  for (int n = 0; n < c.N; ++n)
    for (int k = 0; k < c.K; ++k) layout[at(c.arranged, n, k, c.K)] = w[size_t(n) * c.K + k];
  xpuemu::device_buffer<fp16> wd(layout);
  check_linear(c, x, w, "Fp16", {{wd.data(), wd.bytes()}},
               [&](sycl::queue& q, const uint8_t* xp, uint8_t* yp) {
                 const vk::linear_params params{in(wd), xp, yp, c.M, uint32_t(c.N)};
                 if (c.arranged)
                   vk::launch_linear_arranged(q, params, c.K);
                 else
                   vk::launch_linear_row_major(q, params, c.K);
               });
}

std::vector<linear_case> all_widths() {
  std::vector<linear_case> cases;
  for (int M : {1, 3, 6, 8}) {
    for (uint32_t K : vk::kArrangedWidths) cases.push_back({true, int(K), 32, M});
    for (uint32_t K : vk::kRowMajorWidths) cases.push_back({false, int(K), 8, M});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(AllWidths, LinearKernel, testing::ValuesIn(all_widths()), case_name);

struct packed_case {
  linear_case shape;  // codes in blocks of 16 output features, else row-major
  int bits, group;
  bool symmetric;  // no zeros: every zero is 2^(bits - 1)
};

std::string packed_name(const testing::TestParamInfo<packed_case>& info) {
  const packed_case& c = info.param;
  return "K" + std::to_string(c.shape.K) + "Int" + std::to_string(c.bits) + "G" +
         std::to_string(c.group) + "M" + std::to_string(c.shape.M) +
         (c.symmetric ? "Symmetric" : "");
}

class PackedLinearKernel : public testing::TestWithParam<packed_case> {};

// Random codes, scales and zeros through the packed launcher: the host model of the half kernel
// on the dequantized weights (q - z) s (float, rounded to half once), bit for bit; one launch
// under the width's packed name reading every code, scale and zero exactly once.
TEST_P(PackedLinearKernel, MatchesHalfModelOnDequantizedWeights) {
  const packed_case& pc = GetParam();
  const linear_case& c = pc.shape;
  const int groups = c.K / pc.group;
  std::mt19937 gen(c.K + pc.bits * 7 + pc.group + c.M);
  std::uniform_int_distribution<int> code(0, (1 << pc.bits) - 1);
  std::uniform_int_distribution<int> zero(0, 1 << pc.bits);
  std::uniform_real_distribution<float> scale(0.0f, 1.0f / 64);
  std::vector<uint8_t> q(size_t(c.N) * c.K * pc.bits / 8, 0);
  std::vector<fp16> s(size_t(c.N) * groups), w(size_t(c.N) * c.K);
  std::vector<int16_t> z(size_t(c.N) * groups);
  for (int n = 0; n < c.N; ++n)
    for (int j = 0; j < groups; ++j) {
      s[at(c.arranged, n, j, groups)] = fp16(scale(gen));
      z[at(c.arranged, n, j, groups)] = int16_t(pc.symmetric ? 1 << (pc.bits - 1) : zero(gen));
    }
  for (int n = 0; n < c.N; ++n)
    for (int k = 0; k < c.K; ++k) {
      const int v = code(gen);
      const size_t i = at(c.arranged, n, k, c.K);
      q[i * pc.bits / 8] |= uint8_t(pc.bits == 8 ? v : v << (4 * (i % 2)));
      const size_t g = at(c.arranged, n, k / pc.group, groups);
      w[size_t(n) * c.K + k] = fp16(float(v - z[g]) * float(s[g]));
    }
  const std::vector<fp16> x = uniform_halves(gen, size_t(c.M) * c.K, 1.0f);
  xpuemu::device_buffer<uint8_t> qd(q);
  xpuemu::device_buffer<fp16> sd(s);
  xpuemu::device_buffer<int16_t> zd(z);
  reads weights{{qd.data(), qd.bytes()}, {sd.data(), sd.bytes()}};
  if (!pc.symmetric) weights.emplace_back(zd.data(), zd.bytes());
  const auto* zeros = pc.symmetric ? nullptr : reinterpret_cast<const uint8_t*>(zd.data());
  check_linear(c, x, w, "Int" + std::to_string(pc.bits) + "G" + std::to_string(pc.group), weights,
               [&](sycl::queue& queue, const uint8_t* xp, uint8_t* yp) {
                 const vk::linear_packed_params params{
                     qd.data(), in(sd), zeros, xp, yp, c.M, uint32_t(c.N), uint32_t(pc.group)};
                 if (c.arranged)
                   vk::launch_linear_packed_arranged(queue, params, c.K, pc.bits);
                 else
                   vk::launch_linear_packed_row_major(queue, params, c.K, pc.bits);
               });
}

// Each family's widths of both ends, 5120 (F = 80 features per work-item against groups of 64 and
// 128) and the partial slices (1376, 2752), at every bits and group size they take.
std::vector<packed_case> packed_cases() {
  std::vector<packed_case> cases;
  for (int K : {4096, 5120, 8192, 256, 1376, 2752, 11008, 28672})
    for (int bits : {4, 8})
      for (int group : {32, 64, 128}) {
        if (K % group != 0) continue;
        const bool arranged = K == 4096 || K == 5120 || K == 8192;
        const int M = (K + bits + group) % 3 == 0 ? 8 : (K / 16 + group) % 2 == 0 ? 1 : 3;
        cases.push_back({{arranged, K, arranged ? 32 : 8, M}, bits, group, group == 64});
      }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Formats, PackedLinearKernel, testing::ValuesIn(packed_cases()),
                         packed_name);

// A width of the other family or of none is refused before anything is launched.
TEST(LinearLaunch, RefusesWidthsWithoutKernel) {
  sycl::queue queue;
  const vk::linear_params params{nullptr, nullptr, nullptr, 1, 16};
  xpuemu::clear_launch_log();
  for (uint32_t K : {0u, 272u, 1360u, 4096u})
    EXPECT_THROW(vk::launch_linear_row_major(queue, params, K), std::invalid_argument);
  for (uint32_t K : {256u, 4160u, 11008u})
    EXPECT_THROW(vk::launch_linear_arranged(queue, params, K), std::invalid_argument);
  const vk::linear_packed_params packed{nullptr, nullptr, nullptr, nullptr, nullptr, 1, 16, 32};
  EXPECT_THROW(vk::launch_linear_packed_row_major(queue, packed, 4096, 4), std::invalid_argument);
  EXPECT_THROW(vk::launch_linear_packed_arranged(queue, packed, 11008, 4), std::invalid_argument);
  EXPECT_THROW(vk::launch_linear_packed_row_major(queue, packed, 11008, 2), std::invalid_argument);
  auto odd_group = packed;
  odd_group.group_size = 64;  // does not divide 1376
  EXPECT_THROW(vk::launch_linear_packed_row_major(queue, odd_group, 1376, 4),
               std::invalid_argument);
  EXPECT_TRUE(xpuemu::launch_log().empty());
}

}  // namespace
