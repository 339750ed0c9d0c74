// The linear kernels on the platform layer, against host models of their order (no PyTorch).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernels/linear_launch.hpp"
#include "linear_models.hpp"
#include "xpuemu/device_buffer.hpp"
#include "xpuemu/runtime.hpp"

namespace {

using linear_models::fp16;
using vantrel::kernels::linear_params;

enum class family { arranged, row_major };

struct linear_case {
  family layout;
  int K, N, M;
};

const char* family_name(family f) {
  return f == family::arranged ? "Arranged" : "RowMajor";
}

std::string case_name(const testing::TestParamInfo<linear_case>& info) {
  const linear_case& c = info.param;
  return std::string(family_name(c.layout)) + "K" + std::to_string(c.K) + "N" +
         std::to_string(c.N) + "M" + std::to_string(c.M);
}

void PrintTo(const linear_case& c, std::ostream* os) {
  *os << family_name(c.layout) << " K=" << c.K << " N=" << c.N << " M=" << c.M;
}

// Random halves in [-1, 1) scaled by `scale`, or (exact) integers in [-lim, lim]: products and
// partial sums of small integers are exact in binary16, so every order gives the true product.
std::vector<fp16> values(std::mt19937& gen, size_t count, float scale, bool exact, int lim) {
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::uniform_int_distribution<int> integer(-lim, lim);
  std::vector<fp16> v(count);
  for (fp16& e : v) e = exact ? fp16(static_cast<float>(integer(gen))) : fp16(uniform(gen) * scale);
  return v;
}

// Row-major w [N][K] in the layout the family reads: unchanged, or blocks of 16 output features
// (output n, input k at ((n / 16) K + k) 16 + n % 16).
std::vector<fp16> device_layout(const std::vector<fp16>& w, const linear_case& c) {
  if (c.layout == family::row_major) return w;
  std::vector<fp16> arranged(w.size());
  for (int n = 0; n < c.N; ++n)
    for (int k = 0; k < c.K; ++k)
      arranged[((static_cast<size_t>(n / 16) * c.K) + k) * 16 + n % 16] =
          w[static_cast<size_t>(n) * c.K + k];
  return arranged;
}

std::vector<uint16_t> bits(const std::vector<fp16>& v) {
  std::vector<uint16_t> b(v.size());
  std::memcpy(b.data(), v.data(), v.size() * sizeof(fp16));
  return b;
}

uintptr_t address(const void* p) {
  return reinterpret_cast<uintptr_t>(p);
}

class LinearKernel : public testing::TestWithParam<linear_case> {
 protected:
  // Runs the family's launcher for K on x [M][K] and row-major w [N][K]; returns y [M][N].
  std::vector<fp16> run(const std::vector<fp16>& x, const std::vector<fp16>& w) {
    const linear_case& c = GetParam();
    xpuemu::device_buffer<fp16> wd(device_layout(w, c)), xd(x), yd(size_t(c.M) * c.N);
    const linear_params params{
        reinterpret_cast<const uint8_t*>(wd.data()), reinterpret_cast<const uint8_t*>(xd.data()),
        reinterpret_cast<uint8_t*>(yd.data()), c.M, static_cast<uint32_t>(c.N)};
    sycl::queue queue;
    xpuemu::clear_launch_log();
    if (c.layout == family::arranged)
      vantrel::kernels::launch_linear_arranged(queue, params, c.K);
    else
      vantrel::kernels::launch_linear_row_major(queue, params, c.K);
    std::vector<fp16> y = yd.download();
    check_launch_record(address(wd.data()), address(xd.data()), address(yd.data()));
    return y;
  }

  // One launch under the width's own name that read every weight byte exactly once, no input row
  // at or past M, and wrote the output once.
  void check_launch_record(uintptr_t wa, uintptr_t xa, uintptr_t ya) {
    const linear_case& c = GetParam();
    const auto log = xpuemu::launch_log();
    ASSERT_EQ(log.size(), 1u);
    const xpuemu::launch_record& rec = log[0];
    EXPECT_EQ(rec.error, "");
    EXPECT_EQ(rec.kernel, "gemmCommonDim" + std::to_string(c.K) +
                              (c.layout == family::arranged ? "Fp16V0" : "Fp16NoReshape"));
    const uint64_t weight_bytes = uint64_t(c.N) * c.K * 2;
    EXPECT_EQ(rec.loads.at(wa), weight_bytes);
    EXPECT_EQ(rec.loads_unique.at(wa), weight_bytes);
    EXPECT_EQ(rec.loads_unique.at(xa), uint64_t(c.M) * c.K * 2);
    EXPECT_EQ(rec.loads.size(), 2u);
    EXPECT_EQ(rec.stores.at(ya), uint64_t(c.M) * c.N * 2);
  }
};

TEST_P(LinearKernel, MatchesHostModelBitForBit) {
  const linear_case& c = GetParam();
  std::mt19937 gen(c.K * 16 + c.M);
  const std::vector<fp16> x = values(gen, size_t(c.M) * c.K, 1.0f, false, 0);
  const std::vector<fp16> w = values(gen, size_t(c.N) * c.K, 0.125f, false, 0);
  const std::vector<fp16> expected =
      c.layout == family::arranged
          ? linear_models::linear(x, w, c.M, c.N, c.K, linear_models::arranged_dot)
          : linear_models::linear(x, w, c.M, c.N, c.K, linear_models::row_major_dot);
  EXPECT_EQ(bits(run(x, w)), bits(expected));
}

TEST_P(LinearKernel, ExactDataGiveTheProduct) {
  const linear_case& c = GetParam();
  std::mt19937 gen(c.K + c.M);
  const std::vector<fp16> x = values(gen, size_t(c.M) * c.K, 1.0f, true, 2);
  const std::vector<fp16> w = values(gen, size_t(c.N) * c.K, 1.0f, true, 1);
  std::vector<float> expected(size_t(c.M) * c.N, 0.0f);
  for (int m = 0; m < c.M; ++m)
    for (int n = 0; n < c.N; ++n)
      for (int k = 0; k < c.K; ++k)
        expected[size_t(m) * c.N + n] +=
            float(x[size_t(m) * c.K + k]) * float(w[size_t(n) * c.K + k]);
  const std::vector<fp16> y = run(x, w);
  for (size_t i = 0; i < y.size(); ++i) ASSERT_EQ(float(y[i]), expected[i]) << "output " << i;
}

std::vector<linear_case> all_widths() {
  std::vector<linear_case> cases;
  for (int M : {1, 3, 6, 8}) {
    for (uint32_t K : vantrel::kernels::kArrangedWidths)
      cases.push_back({family::arranged, int(K), 32, M});
    for (uint32_t K : vantrel::kernels::kRowMajorWidths)
      cases.push_back({family::row_major, int(K), 8, M});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(AllWidths, LinearKernel, testing::ValuesIn(all_widths()), case_name);

struct unserved_case {
  family layout;
  uint32_t K;
};

void PrintTo(const unserved_case& c, std::ostream* os) {
  *os << family_name(c.layout) << " K=" << c.K;
}

class LinearLauncher : public testing::TestWithParam<unserved_case> {};

// A width without a kernel of the family is refused before anything is submitted.
TEST_P(LinearLauncher, RefusesOtherWidths) {
  const unserved_case& c = GetParam();
  xpuemu::device_buffer<fp16> buffer(16);
  const linear_params params{reinterpret_cast<const uint8_t*>(buffer.data()),
                             reinterpret_cast<const uint8_t*>(buffer.data()),
                             reinterpret_cast<uint8_t*>(buffer.data()), 1, 16};
  sycl::queue queue;
  xpuemu::clear_launch_log();
  EXPECT_THROW(c.layout == family::arranged
                   ? vantrel::kernels::launch_linear_arranged(queue, params, c.K)
                   : vantrel::kernels::launch_linear_row_major(queue, params, c.K),
               std::invalid_argument);
  EXPECT_TRUE(xpuemu::launch_log().empty());
}

INSTANTIATE_TEST_SUITE_P(OtherWidths, LinearLauncher,
                         testing::Values(unserved_case{family::arranged, 11008},
                                         unserved_case{family::arranged, 4160},
                                         unserved_case{family::row_major, 4096},
                                         unserved_case{family::row_major, 11136}));

}  // namespace
