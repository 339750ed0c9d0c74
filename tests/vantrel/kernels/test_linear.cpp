// The linear kernels on the platform layer, against host models of their order (no PyTorch).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ostream>
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

struct linear_case {
  bool arranged;  // weights in blocks of 16 output features, else row-major
  int K, N, M;
};

std::string case_name(const testing::TestParamInfo<linear_case>& info) {
  const linear_case& c = info.param;
  return std::string(c.arranged ? "Arranged" : "RowMajor") + "K" + std::to_string(c.K) + "N" +
         std::to_string(c.N) + "M" + std::to_string(c.M);
}

void PrintTo(const linear_case& c, std::ostream* os) {
  *os << (c.arranged ? "arranged" : "row-major") << " K=" << c.K << " N=" << c.N << " M=" << c.M;
}

std::vector<fp16> uniform_halves(std::mt19937& gen, size_t count, float scale) {
  std::uniform_real_distribution<float> uniform(-scale, scale);
  std::vector<fp16> v(count);
  for (fp16& e : v) e = fp16(uniform(gen));
  return v;
}

// Row-major w [N][K] in the layout the family reads: unchanged, or blocks of 16 output features
// (output n, input k at ((n / 16) K + k) 16 + n % 16).
std::vector<fp16> device_layout(const std::vector<fp16>& w, const linear_case& c) {
  if (!c.arranged) return w;
  std::vector<fp16> blocks(w.size());
  for (size_t n = 0; n < size_t(c.N); ++n)
    for (size_t k = 0; k < size_t(c.K); ++k)
      blocks[((n / 16) * c.K + k) * 16 + n % 16] = w[n * c.K + k];
  return blocks;
}

std::vector<uint16_t> bits(const std::vector<fp16>& v) {
  std::vector<uint16_t> b(v.size());
  std::memcpy(b.data(), v.data(), v.size() * sizeof(fp16));
  return b;
}

class LinearKernel : public testing::TestWithParam<linear_case> {};

// Random data through the width's launcher: the host model's bits, one launch under the width's
// own name that reads every weight byte exactly once and no input row at or past M.
TEST_P(LinearKernel, MatchesHostModelBitForBit) {
  const linear_case& c = GetParam();
  std::mt19937 gen(c.K * 16 + c.M);
  const std::vector<fp16> x = uniform_halves(gen, size_t(c.M) * c.K, 1.0f);
  const std::vector<fp16> w = uniform_halves(gen, size_t(c.N) * c.K, 0.125f);
  xpuemu::device_buffer<fp16> wd(device_layout(w, c)), xd(x), yd(size_t(c.M) * c.N);
  const vantrel::kernels::linear_params params{
      reinterpret_cast<const uint8_t*>(wd.data()), reinterpret_cast<const uint8_t*>(xd.data()),
      reinterpret_cast<uint8_t*>(yd.data()), c.M, uint32_t(c.N)};
  sycl::queue queue;
  xpuemu::clear_launch_log();
  if (c.arranged)
    vantrel::kernels::launch_linear_arranged(queue, params, c.K);
  else
    vantrel::kernels::launch_linear_row_major(queue, params, c.K);

  const auto dot = c.arranged ? linear_models::arranged_dot : linear_models::row_major_dot;
  EXPECT_EQ(bits(yd.download()), bits(linear_models::linear(x, w, c.M, c.N, c.K, dot)));

  const auto log = xpuemu::launch_log();
  ASSERT_EQ(log.size(), 1u);
  const xpuemu::launch_record& rec = log[0];
  EXPECT_EQ(rec.error, "");
  EXPECT_EQ(rec.kernel,
            "gemmCommonDim" + std::to_string(c.K) + (c.arranged ? "Fp16V0" : "Fp16NoReshape"));
  const auto wa = reinterpret_cast<uintptr_t>(wd.data());
  EXPECT_EQ(rec.loads.at(wa), wd.bytes());
  EXPECT_EQ(rec.loads_unique.at(wa), wd.bytes());
  const auto xa = reinterpret_cast<uintptr_t>(xd.data());
  EXPECT_EQ(rec.loads_unique.at(xa), xd.bytes());
  // Every work-group reads the input rows again (blocked: once per group of 16 outputs;
  // row-major: once per output): each repeated read counts.
  EXPECT_EQ(rec.loads.at(xa), xd.bytes() * (c.arranged ? c.N / 16 : c.N));
  EXPECT_EQ(rec.loads.size(), 2u);
  EXPECT_EQ(rec.stores.at(reinterpret_cast<uintptr_t>(yd.data())), yd.bytes());
}

std::vector<linear_case> all_widths() {
  std::vector<linear_case> cases;
  for (int M : {1, 3, 6, 8}) {
    for (uint32_t K : vantrel::kernels::kArrangedWidths) cases.push_back({true, int(K), 32, M});
    for (uint32_t K : vantrel::kernels::kRowMajorWidths) cases.push_back({false, int(K), 8, M});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(AllWidths, LinearKernel, testing::ValuesIn(all_widths()), case_name);

struct packed_case {
  bool arranged;  // codes in blocks of 16 output features, else row-major
  int K, N, M, bits, group;
  bool symmetric;  // no zeros: every zero is 2^(bits - 1)
};

std::string packed_name(const testing::TestParamInfo<packed_case>& info) {
  const packed_case& c = info.param;
  return "K" + std::to_string(c.K) + "Int" + std::to_string(c.bits) + "G" +
         std::to_string(c.group) + "M" + std::to_string(c.M) + (c.symmetric ? "Symmetric" : "");
}

void PrintTo(const packed_case& c, std::ostream* os) {
  *os << (c.arranged ? "arranged" : "row-major") << " K=" << c.K << " N=" << c.N << " M=" << c.M
      << " bits=" << c.bits << " g=" << c.group << (c.symmetric ? " symmetric" : "");
}

class PackedLinearKernel : public testing::TestWithParam<packed_case> {};

// Random codes, scales and zeros through the packed launcher: the host model of the half kernel
// on the dequantized weights (q - z) s (float, rounded to half once), bit for bit; one launch
// under the width's packed name reading every code, scale and zero exactly once.
TEST_P(PackedLinearKernel, MatchesHalfModelOnDequantizedWeights) {
  const packed_case& c = GetParam();
  const int groups = c.K / c.group;
  std::mt19937 gen(c.K + c.bits * 7 + c.group + c.M);
  std::uniform_int_distribution<int> code(0, (1 << c.bits) - 1);
  std::uniform_int_distribution<int> zero(0, 1 << c.bits);
  std::uniform_real_distribution<float> scale(0.0f, 1.0f / 64);
  // Element i of the layout: output n, index j of the last dimension (k for the codes, the group
  // for scales and zeros) of `length`.
  auto at = [&](int n, int j, int length) {
    return c.arranged ? (size_t(n / 16) * length + j) * 16 + n % 16 : size_t(n) * length + j;
  };
  std::vector<uint8_t> q(size_t(c.N) * c.K * c.bits / 8, 0);
  std::vector<fp16> s(size_t(c.N) * groups), w(size_t(c.N) * c.K);
  std::vector<int16_t> z(size_t(c.N) * groups);
  for (int n = 0; n < c.N; ++n)
    for (int j = 0; j < groups; ++j) {
      s[at(n, j, groups)] = fp16(scale(gen));
      z[at(n, j, groups)] = int16_t(c.symmetric ? 1 << (c.bits - 1) : zero(gen));
    }
  for (int n = 0; n < c.N; ++n)
    for (int k = 0; k < c.K; ++k) {
      const int v = code(gen);
      const size_t i = at(n, k, c.K);
      q[i * c.bits / 8] |= uint8_t(c.bits == 8 ? v : v << (4 * (i % 2)));
      const size_t g = at(n, k / c.group, groups);
      w[size_t(n) * c.K + k] = fp16(float(v - z[g]) * float(s[g]));
    }
  const std::vector<fp16> x = uniform_halves(gen, size_t(c.M) * c.K, 1.0f);
  xpuemu::device_buffer<uint8_t> qd(q);
  xpuemu::device_buffer<fp16> sd(s), xd(x), yd(size_t(c.M) * c.N);
  xpuemu::device_buffer<int16_t> zd(z);
  const vantrel::kernels::linear_packed_params params{
      qd.data(),
      reinterpret_cast<const uint8_t*>(sd.data()),
      c.symmetric ? nullptr : reinterpret_cast<const uint8_t*>(zd.data()),
      reinterpret_cast<const uint8_t*>(xd.data()),
      reinterpret_cast<uint8_t*>(yd.data()),
      c.M,
      uint32_t(c.N),
      uint32_t(c.group)};
  sycl::queue queue;
  xpuemu::clear_launch_log();
  if (c.arranged)
    vantrel::kernels::launch_linear_packed_arranged(queue, params, c.K, c.bits);
  else
    vantrel::kernels::launch_linear_packed_row_major(queue, params, c.K, c.bits);

  const auto dot = c.arranged ? linear_models::arranged_dot : linear_models::row_major_dot;
  EXPECT_EQ(bits(yd.download()), bits(linear_models::linear(x, w, c.M, c.N, c.K, dot)));

  const auto log = xpuemu::launch_log();
  ASSERT_EQ(log.size(), 1u);
  const xpuemu::launch_record& rec = log[0];
  EXPECT_EQ(rec.error, "");
  EXPECT_EQ(rec.kernel, vantrel::kernels::quantized_kernel_name(c.M, c.K, c.bits, c.group));
  std::vector<std::pair<uintptr_t, size_t>> packed{
      {reinterpret_cast<uintptr_t>(qd.data()), qd.bytes()},
      {reinterpret_cast<uintptr_t>(sd.data()), sd.bytes()}};
  if (!c.symmetric) packed.emplace_back(reinterpret_cast<uintptr_t>(zd.data()), zd.bytes());
  for (const auto& [address, size] : packed) {
    EXPECT_EQ(rec.loads.at(address), size);
    EXPECT_EQ(rec.loads_unique.at(address), size);
  }
  EXPECT_EQ(rec.loads.size(), packed.size() + 1);  // and the input
  EXPECT_EQ(rec.stores.at(reinterpret_cast<uintptr_t>(yd.data())), yd.bytes());
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
        cases.push_back({arranged, K, arranged ? 32 : 8, M, bits, group, group == 64});
      }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Formats, PackedLinearKernel, testing::ValuesIn(packed_cases()),
                         packed_name);

// A width of the other family or of none is refused before anything is launched.
TEST(LinearLaunch, RefusesWidthsWithoutKernel) {
  sycl::queue queue;
  const vantrel::kernels::linear_params params{nullptr, nullptr, nullptr, 1, 16};
  xpuemu::clear_launch_log();
  for (uint32_t K : {0u, 272u, 1360u, 4096u})
    EXPECT_THROW(vantrel::kernels::launch_linear_row_major(queue, params, K),
                 std::invalid_argument);
  for (uint32_t K : {256u, 4160u, 11008u})
    EXPECT_THROW(vantrel::kernels::launch_linear_arranged(queue, params, K), std::invalid_argument);
  const vantrel::kernels::linear_packed_params packed{nullptr, nullptr, nullptr, nullptr,
                                                      nullptr, 1,       16,      32};
  EXPECT_THROW(vantrel::kernels::launch_linear_packed_row_major(queue, packed, 4096, 4),
               std::invalid_argument);
  EXPECT_THROW(vantrel::kernels::launch_linear_packed_arranged(queue, packed, 11008, 4),
               std::invalid_argument);
  EXPECT_THROW(vantrel::kernels::launch_linear_packed_row_major(queue, packed, 11008, 2),
               std::invalid_argument);
  auto odd_group = packed;
  odd_group.group_size = 64;  // does not divide 1376
  EXPECT_THROW(vantrel::kernels::launch_linear_packed_row_major(queue, odd_group, 1376, 4),
               std::invalid_argument);
  EXPECT_TRUE(xpuemu::launch_log().empty());
}

}  // namespace
