// The attention kernels on the platform layer, against host models of their order (no PyTorch).
#include <gtest/gtest.h>

#include <cstring>
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
  bool per_key;  // the launcher must pick the kernel with a work-item per key (Keys128)
};

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
  if constexpr (kHalf)
    vk::launch_sdp_fp16(queue,
                        {bytes(dq), bytes(dk), bytes(dv), bytes(dout), c.B, c.H, c.H_kv, c.kv_len,
                         c.H_kv * capacity * c.D, capacity * c.D},
                        c.D);
  else
    vk::launch_sdp_fp32(
        queue, {bytes(dq), bytes(dk), bytes(dv), bytes(dout), c.B, c.H, c.H_kv, c.kv_len}, c.D);
  const std::vector<T> got = dout.download();

  const std::vector<T> want =
      sdp_models::attend(q, k, v, c.B, c.H, c.H_kv, c.kv_len, c.D, c.H_kv * capacity, capacity,
                         c.per_key ? sdp_models::kKeys128 : sdp_models::kKeyBlocks64);
  std::size_t mismatches = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (std::memcmp(&got[i], &want[i], sizeof(T)) != 0 && ++mismatches <= 3)
      ADD_FAILURE() << "output " << i << " (head " << i / c.D << "): " << float(got[i])
                    << ", model " << float(want[i]);
  }
  EXPECT_EQ(mismatches, 0u);

  const auto log = xpuemu::launch_log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].kernel, "sdpDim" + std::to_string(c.D) + (kHalf ? "Fp16" : "Fp32") +
                               (c.per_key ? "Keys128" : "KeyBlocks64") +
                               (c.H == c.H_kv ? "" : "Grouped"));
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

constexpr bool kK = true, kB = false;  // the per-key kernel or the blocked one

// G = H / H_kv of 1, 4, 8, 3, 5, 7 (not powers of two) and 32 (the limit: four (head, chunk) pairs
// per work-item in the blocked kernels of 128, two of 64, 32 per work-item in Keys128 with
// kv_len = 8); kv_len below, at and past block and pad boundaries.
const sdp_case kCases[] = {{true, 128, 2, 4, 4, 7, kB},     {true, 128, 1, 4, 4, 64, kK},
                           {true, 128, 2, 3, 3, 100, kK},   {true, 128, 1, 2, 2, 129, kB},
                           {true, 128, 2, 8, 2, 7, kB},     {true, 128, 1, 8, 2, 64, kK},
                           {true, 128, 2, 4, 1, 100, kK},   {true, 128, 1, 8, 2, 129, kB},
                           {true, 128, 1, 16, 2, 13, kK},   {true, 128, 1, 8, 1, 200, kB},
                           {true, 128, 1, 40, 8, 100, kK},  {true, 128, 1, 40, 8, 129, kB},
                           {true, 128, 1, 32, 1, 8, kK},    {true, 128, 1, 32, 1, 150, kB},
                           {true, 128, 2, 6, 2, 9, kK},     {true, 128, 1, 21, 3, 130, kB},
                           {true, 64, 2, 4, 4, 7, kB},      {true, 64, 1, 4, 4, 64, kK},
                           {true, 64, 2, 3, 3, 100, kK},    {true, 64, 1, 2, 2, 129, kB},
                           {true, 64, 2, 6, 2, 7, kB},      {true, 64, 1, 6, 2, 9, kK},
                           {true, 64, 2, 8, 2, 64, kK},     {true, 64, 1, 8, 2, 129, kB},
                           {true, 64, 2, 16, 2, 100, kK},   {true, 64, 1, 16, 2, 200, kB},
                           {true, 64, 1, 35, 5, 13, kK},    {true, 64, 1, 35, 5, 130, kB},
                           {true, 64, 1, 32, 1, 8, kK},     {true, 64, 1, 32, 1, 150, kB},
                           {false, 128, 2, 3, 3, 7, kB},    {false, 128, 1, 2, 2, 129, kB},
                           {false, 128, 2, 8, 2, 64, kB},   {false, 128, 1, 16, 2, 100, kB},
                           {false, 128, 1, 40, 8, 129, kB}, {false, 128, 1, 32, 1, 65, kB},
                           {false, 128, 1, 9, 3, 70, kB},   {false, 64, 2, 3, 3, 7, kB},
                           {false, 64, 1, 2, 2, 129, kB},   {false, 64, 2, 6, 2, 64, kB},
                           {false, 64, 1, 16, 2, 100, kB},  {false, 64, 1, 56, 8, 129, kB},
                           {false, 64, 1, 32, 1, 65, kB}};

INSTANTIATE_TEST_SUITE_P(Shapes, SdpKernel, testing::ValuesIn(kCases), case_name);

// Calls the launchers refuse before submitting anything: a head size without kernels, H_kv not
// dividing H, G over kSdpMaxGroupHeads, no keys.
struct rejected_case {
  std::size_t D, H, H_kv, kv_len;
};

class SdpLaunchRejects : public testing::TestWithParam<rejected_case> {};

TEST_P(SdpLaunchRejects, ThrowsWithoutLaunching) {
  const rejected_case c = GetParam();
  sycl::queue queue;
  xpuemu::clear_launch_log();
  EXPECT_THROW(
      vk::launch_sdp_fp16(
          queue, {nullptr, nullptr, nullptr, nullptr, 1, c.H, c.H_kv, c.kv_len, 0, 0}, c.D),
      std::invalid_argument);
  EXPECT_THROW(vk::launch_sdp_fp32(
                   queue, {nullptr, nullptr, nullptr, nullptr, 1, c.H, c.H_kv, c.kv_len}, c.D),
               std::invalid_argument);
  EXPECT_TRUE(xpuemu::launch_log().empty());
}

const rejected_case kRejected[] = {{96, 8, 8, 16},  {0, 8, 8, 16},    {32, 8, 8, 16},
                                   {128, 8, 3, 16}, {128, 64, 1, 16}, {64, 8, 3, 16},
                                   {64, 33, 1, 16}, {128, 8, 8, 0},   {64, 8, 8, 0}};

INSTANTIATE_TEST_SUITE_P(Launch, SdpLaunchRejects, testing::ValuesIn(kRejected),
                         [](const testing::TestParamInfo<rejected_case>& info) {
                           const rejected_case& c = info.param;
                           return "D" + std::to_string(c.D) + "_H" + std::to_string(c.H) + "_Hkv" +
                                  std::to_string(c.H_kv) + "_n" + std::to_string(c.kv_len);
                         });

}  // namespace
