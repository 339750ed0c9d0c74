// The linear kernels on the platform layer, against host models of their order (no PyTorch).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
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
  EXPECT_TRUE(xpuemu::launch_log().empty());
}

}  // namespace
