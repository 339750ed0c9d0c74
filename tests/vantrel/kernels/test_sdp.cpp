// The attention kernels on the platform layer, against host models of their order (no PyTorch).
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "sdp_models.hpp"
#include "vantrel/kernels/sdp_launch.hpp"
#include "xpuemu/device_buffer.hpp"

namespace {

using fp16 = sycl::half;
namespace vk = vantrel::kernels;

struct sdp_case {
  bool half;
  std::size_t D, B, H, H_kv, kv_len;
  const char* kernel;  // the kernel the launcher must pick
};

void PrintTo(const sdp_case& c, std::ostream* os) {
  *os << (c.half ? "half" : "float") << " D=" << c.D << " B=" << c.B << " H=" << c.H
      << " H_kv=" << c.H_kv << " kv_len=" << c.kv_len << " " << c.kernel;
}

std::string case_name(const testing::TestParamInfo<sdp_case>& info) {
  const sdp_case& c = info.param;
  return std::string(c.half ? "Fp16" : "Fp32") + "_D" + std::to_string(c.D) + "_B" +
         std::to_string(c.B) + "_H" + std::to_string(c.H) + "_Hkv" + std::to_string(c.H_kv) + "_n" +
         std::to_string(c.kv_len);
}

template <typename T>
std::vector<T> normal_values(std::size_t count, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> normal;
  std::vector<T> out(count);
  for (T& x : out) x = T(normal(gen));
  return out;
}

// Runs case `c` through the launcher and checks the output bits against the host model and the
// key/value traffic against one read of each row covered. Half keys and values are the first
// kv_len rows of a cache of kv_len + 3 rows per head (strided views, as a decoder passes them).
template <typename T>
void check_case(const sdp_case& c) {
  constexpr bool kHalf = std::is_same_v<T, fp16>;
  const std::size_t capacity = c.kv_len + (kHalf ? 3 : 0);
  const std::vector<T> q = normal_values<T>(c.B * c.H * c.D, 1);
  const std::vector<T> k = normal_values<T>(c.B * c.H_kv * capacity * c.D, 2);
  const std::vector<T> v = normal_values<T>(c.B * c.H_kv * capacity * c.D, 3);
  xpuemu::device_buffer<T> dq(q), dk(k), dv(v), dout(c.B * c.H * c.D);
  const auto bytes = [](const auto& buf) { return reinterpret_cast<uint8_t*>(buf.data()); };
  sycl::queue queue;
  xpuemu::clear_launch_log();
  const auto set_common = [&](auto& params) {
    params.q = bytes(dq);
    params.k = bytes(dk);
    params.v = bytes(dv);
    params.out = bytes(dout);
    params.batch = c.B;
    params.heads = c.H;
    params.kv_heads = c.H_kv;
    params.kv_len = c.kv_len;
  };
  if constexpr (kHalf) {
    vk::sdp_fp16_params params;
    set_common(params);
    params.stride0 = c.H_kv * capacity * c.D;
    params.stride1 = capacity * c.D;
    vk::launch_sdp_fp16(queue, params, c.D);
  } else {
    vk::sdp_fp32_params params;
    set_common(params);
    vk::launch_sdp_fp32(queue, params, c.D);
  }
  const std::vector<T> got = dout.download();

  const bool per_key = kHalf && vk::sdp_fp16_item_per_key(c.kv_len);
  const std::vector<T> want =
      sdp_models::attend(q, k, v, c.B, c.H, c.H_kv, c.kv_len, c.D, c.H_kv * capacity, capacity,
                         per_key ? sdp_models::kKeys128 : sdp_models::kKeyBlocks64);
  std::size_t mismatches = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (std::memcmp(&got[i], &want[i], sizeof(T)) != 0 && ++mismatches <= 3)
      ADD_FAILURE() << "output " << i << " (head " << i / c.D << "): " << float(got[i])
                    << ", model " << float(want[i]);
  }
  EXPECT_EQ(mismatches, 0u);

  const auto log = xpuemu::launch_log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].kernel, c.kernel);
  EXPECT_EQ(log[0].error, "");
  const std::uint64_t rows_bytes = c.B * c.H_kv * c.kv_len * c.D * sizeof(T);
  for (const auto* buf : {&dk, &dv}) {
    const auto addr = reinterpret_cast<std::uintptr_t>(buf->data());
    EXPECT_EQ(log[0].loads.at(addr), rows_bytes) << (buf == &dk ? "k" : "v");
    EXPECT_EQ(log[0].loads_unique.at(addr), rows_bytes) << (buf == &dk ? "k" : "v");
  }
}

class SdpKernel : public testing::TestWithParam<sdp_case> {};

TEST_P(SdpKernel, MatchesModelReadingEachRowOnce) {
  if (GetParam().half)
    check_case<fp16>(GetParam());
  else
    check_case<float>(GetParam());
}

constexpr const char* kKeys128 = "sdpDim128Fp16Keys128";
constexpr const char* kKeys128G = "sdpDim128Fp16Keys128Grouped";
constexpr const char* kBlocks16 = "sdpDim128Fp16KeyBlocks64";
constexpr const char* kBlocks16G = "sdpDim128Fp16KeyBlocks64Grouped";
constexpr const char* kBlocks32 = "sdpDim128Fp32KeyBlocks64";
constexpr const char* kBlocks32G = "sdpDim128Fp32KeyBlocks64Grouped";
constexpr const char* k64Keys128 = "sdpDim64Fp16Keys128";
constexpr const char* k64Keys128G = "sdpDim64Fp16Keys128Grouped";
constexpr const char* k64Blocks16 = "sdpDim64Fp16KeyBlocks64";
constexpr const char* k64Blocks16G = "sdpDim64Fp16KeyBlocks64Grouped";
constexpr const char* k64Blocks32 = "sdpDim64Fp32KeyBlocks64";
constexpr const char* k64Blocks32G = "sdpDim64Fp32KeyBlocks64Grouped";

// G = H / H_kv of 1, 4, 8, 3, 5, 7 (not powers of two) and 32 (the limit: four (head, chunk) pairs
// per work-item in the blocked kernels of 128, two of 64, 32 per work-item in Keys128 with
// kv_len = 8); kv_len below, at and past block and pad boundaries.
INSTANTIATE_TEST_SUITE_P(
    Fp16, SdpKernel,
    testing::Values(
        sdp_case{true, 128, 2, 4, 4, 7, kBlocks16}, sdp_case{true, 128, 1, 4, 4, 64, kKeys128},
        sdp_case{true, 128, 2, 3, 3, 100, kKeys128}, sdp_case{true, 128, 1, 2, 2, 129, kBlocks16},
        sdp_case{true, 128, 2, 8, 2, 7, kBlocks16G}, sdp_case{true, 128, 1, 8, 2, 64, kKeys128G},
        sdp_case{true, 128, 2, 4, 1, 100, kKeys128G}, sdp_case{true, 128, 1, 8, 2, 129, kBlocks16G},
        sdp_case{true, 128, 1, 16, 2, 13, kKeys128G}, sdp_case{true, 128, 1, 8, 1, 200, kBlocks16G},
        sdp_case{true, 128, 1, 40, 8, 100, kKeys128G},
        sdp_case{true, 128, 1, 40, 8, 129, kBlocks16G}, sdp_case{true, 128, 1, 32, 1, 8, kKeys128G},
        sdp_case{true, 128, 1, 32, 1, 150, kBlocks16G}, sdp_case{true, 128, 2, 6, 2, 9, kKeys128G},
        sdp_case{true, 128, 1, 21, 3, 130, kBlocks16G}),
    case_name);

INSTANTIATE_TEST_SUITE_P(Fp16Dim64, SdpKernel,
                         testing::Values(sdp_case{true, 64, 2, 4, 4, 7, k64Blocks16},
                                         sdp_case{true, 64, 1, 4, 4, 64, k64Keys128},
                                         sdp_case{true, 64, 2, 3, 3, 100, k64Keys128},
                                         sdp_case{true, 64, 1, 2, 2, 129, k64Blocks16},
                                         sdp_case{true, 64, 2, 6, 2, 7, k64Blocks16G},
                                         sdp_case{true, 64, 1, 6, 2, 9, k64Keys128G},
                                         sdp_case{true, 64, 2, 8, 2, 64, k64Keys128G},
                                         sdp_case{true, 64, 1, 8, 2, 129, k64Blocks16G},
                                         sdp_case{true, 64, 2, 16, 2, 100, k64Keys128G},
                                         sdp_case{true, 64, 1, 16, 2, 200, k64Blocks16G},
                                         sdp_case{true, 64, 1, 35, 5, 13, k64Keys128G},
                                         sdp_case{true, 64, 1, 35, 5, 130, k64Blocks16G},
                                         sdp_case{true, 64, 1, 32, 1, 8, k64Keys128G},
                                         sdp_case{true, 64, 1, 32, 1, 150, k64Blocks16G}),
                         case_name);

INSTANTIATE_TEST_SUITE_P(Fp32, SdpKernel,
                         testing::Values(sdp_case{false, 128, 2, 3, 3, 7, kBlocks32},
                                         sdp_case{false, 128, 1, 2, 2, 129, kBlocks32},
                                         sdp_case{false, 128, 2, 8, 2, 64, kBlocks32G},
                                         sdp_case{false, 128, 1, 16, 2, 100, kBlocks32G},
                                         sdp_case{false, 128, 1, 40, 8, 129, kBlocks32G},
                                         sdp_case{false, 128, 1, 32, 1, 65, kBlocks32G},
                                         sdp_case{false, 128, 1, 9, 3, 70, kBlocks32G},
                                         sdp_case{false, 64, 2, 3, 3, 7, k64Blocks32},
                                         sdp_case{false, 64, 1, 2, 2, 129, k64Blocks32},
                                         sdp_case{false, 64, 2, 6, 2, 64, k64Blocks32G},
                                         sdp_case{false, 64, 1, 16, 2, 100, k64Blocks32G},
                                         sdp_case{false, 64, 1, 56, 8, 129, k64Blocks32G},
                                         sdp_case{false, 64, 1, 32, 1, 65, k64Blocks32G}),
                         case_name);

// Calls the launchers refuse before submitting anything: a head size without kernels, H_kv not
// dividing H, G over kSdpMaxGroupHeads, no keys.
struct rejected_case {
  std::size_t D, H, H_kv, kv_len;
};

void PrintTo(const rejected_case& c, std::ostream* os) {
  *os << "D=" << c.D << " H=" << c.H << " H_kv=" << c.H_kv << " kv_len=" << c.kv_len;
}

class SdpLaunchRejects : public testing::TestWithParam<rejected_case> {};

TEST_P(SdpLaunchRejects, ThrowsWithoutLaunching) {
  const rejected_case c = GetParam();
  sycl::queue queue;
  xpuemu::clear_launch_log();
  vk::sdp_fp16_params half{};
  half.batch = 1;
  half.heads = c.H;
  half.kv_heads = c.H_kv;
  half.kv_len = c.kv_len;
  vk::sdp_fp32_params single{};
  single.batch = 1;
  single.heads = c.H;
  single.kv_heads = c.H_kv;
  single.kv_len = c.kv_len;
  EXPECT_THROW(vk::launch_sdp_fp16(queue, half, c.D), std::invalid_argument);
  EXPECT_THROW(vk::launch_sdp_fp32(queue, single, c.D), std::invalid_argument);
  EXPECT_TRUE(xpuemu::launch_log().empty());
}

INSTANTIATE_TEST_SUITE_P(Launch, SdpLaunchRejects,
                         testing::Values(rejected_case{96, 8, 8, 16}, rejected_case{0, 8, 8, 16},
                                         rejected_case{32, 8, 8, 16}, rejected_case{128, 8, 3, 16},
                                         rejected_case{128, 64, 1, 16}, rejected_case{64, 8, 3, 16},
                                         rejected_case{64, 33, 1, 16}, rejected_case{128, 8, 8, 0},
                                         rejected_case{64, 8, 8, 0}),
                         [](const testing::TestParamInfo<rejected_case>& info) {
                           const rejected_case& c = info.param;
                           return "D" + std::to_string(c.D) + "_H" + std::to_string(c.H) + "_Hkv" +
                                  std::to_string(c.H_kv) + "_n" + std::to_string(c.kv_len);
                         });

}  // namespace
