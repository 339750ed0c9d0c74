// Launchers of the attention kernels (torch-free).
#include "vantrel/kernels/sdp_launch.hpp"

#include <stdexcept>
#include <string>

#include "vantrel/kernels/launch.hpp"
#include "vantrel/kernels/sdp_fp16.hpp"
#include "vantrel/kernels/sdp_fp32.hpp"

namespace vantrel::kernels {

// Name class of a launch (what the launch log and the profiler show) by head size, variant and
// grouping: sdpDim{D}{variant}, with the suffix Grouped for H_kv < H.
template <int D, sdp_variant V, bool Grouped>
struct sdp_name_class;

#define VANTREL_SDP_NAME(D, variant, suffix)               \
  namespace kernel_names {                                 \
  class sdpDim##D##suffix;                                 \
  class sdpDim##D##suffix##Grouped;                        \
  }                                                        \
  template <>                                              \
  struct sdp_name_class<D, sdp_variant::variant, false> {  \
    using type = kernel_names::sdpDim##D##suffix;          \
  };                                                       \
  template <>                                              \
  struct sdp_name_class<D, sdp_variant::variant, true> {   \
    using type = kernel_names::sdpDim##D##suffix##Grouped; \
  };
#define VANTREL_SDP_NAMES(D)                              \
  VANTREL_SDP_NAME(D, fp16_keys128, Fp16Keys128)          \
  VANTREL_SDP_NAME(D, fp16_key_blocks64, Fp16KeyBlocks64) \
  VANTREL_SDP_NAME(D, fp32_key_blocks64, Fp32KeyBlocks64)
VANTREL_SDP_HEAD_SIZES(VANTREL_SDP_NAMES)
#undef VANTREL_SDP_NAMES
#undef VANTREL_SDP_NAME

namespace {

// Whether the launch is grouped (H_kv < H); throws for a head grouping or key count the kernels
// cannot serve.
bool grouped(uint64_t heads, uint64_t kv_heads, uint64_t kv_len) {
  if (kv_len == 0) throw std::invalid_argument("launch_sdp: kv_len must be at least 1");
  if (kv_heads == 0 ? heads != 0 : (heads % kv_heads != 0 || heads / kv_heads > kSdpMaxGroupHeads))
    throw std::invalid_argument("launch_sdp: H = " + std::to_string(heads) + " must be G * H_kv " +
                                "with H_kv = " + std::to_string(kv_heads) +
                                " and G <= " + std::to_string(kSdpMaxGroupHeads));
  return kv_heads != heads;
}

// Work-groups of `items` work-items, H_kv along dimension 0 and B along dimension 1.
sycl::nd_range<2> groups_of(uint64_t items, uint64_t kv_heads, uint64_t batch) {
  return sycl::nd_range<2>(sycl::range<2>(kv_heads * items, batch), sycl::range<2>(items, 1));
}

// Submits variant V of head size D over `range`: the grouped instantiation (serving up to
// kSdpMaxGroupHeads query heads per key/value head) or the ungrouped one.
template <int D, sdp_variant V, bool Grouped, typename Params>
sycl::event submit_sdp(sycl::queue& queue, const sycl::nd_range<2>& range, const Params& p) {
  using Name = typename sdp_name_class<D, V, Grouped>::type;
  constexpr uint32_t kMaxGroup = Grouped ? uint32_t(kSdpMaxGroupHeads) : 1;
  return submit_kernel<Name>(queue, range, [p](sycl::nd_item<2> item) {
    if constexpr (V == sdp_variant::fp16_keys128)
      sdpFp16Keys128<D, kMaxGroup>(p, item);
    else if constexpr (V == sdp_variant::fp16_key_blocks64)
      sdpFp16KeyBlocks64<D, kMaxGroup>(p, item);
    else
      sdpFp32KeyBlocks64<D, kMaxGroup>(p, item);
  });
}

template <int D, sdp_variant V, typename Params>
sycl::event submit_sdp(sycl::queue& queue, const sycl::nd_range<2>& range, const Params& p,
                       bool kv_grouped) {
  return kv_grouped ? submit_sdp<D, V, true>(queue, range, p)
                    : submit_sdp<D, V, false>(queue, range, p);
}

template <int D>
sycl::event launch_fp16(sycl::queue& queue, const sdp_fp16_params& p) {
  const bool kv_grouped = grouped(p.heads, p.kv_heads, p.kv_len);
  if (sdp_variant_for(true, p.kv_len) == sdp_variant::fp16_keys128)
    return submit_sdp<D, sdp_variant::fp16_keys128>(queue, groups_of(p.kv_len, p.kv_heads, p.batch),
                                                    p, kv_grouped);
  // Blocks of 64 keys, also for fewer than 8 keys, where a group of kv_len work-items could not
  // write all output chunks.
  return submit_sdp<D, sdp_variant::fp16_key_blocks64>(
      queue, groups_of(kSdpBlockKeys, p.kv_heads, p.batch), p, kv_grouped);
}

template <int D>
sycl::event launch_fp32(sycl::queue& queue, const sdp_fp32_params& p) {
  const bool kv_grouped = grouped(p.heads, p.kv_heads, p.kv_len);
  return submit_sdp<D, sdp_variant::fp32_key_blocks64>(
      queue, groups_of(kSdpBlockKeys, p.kv_heads, p.batch), p, kv_grouped);
}

[[noreturn]] void no_kernel_for(int64_t head_size) {
  throw std::invalid_argument("launch_sdp: no kernel for head size " + std::to_string(head_size));
}

}  // namespace

sycl::event launch_sdp_fp16(sycl::queue& queue, const sdp_fp16_params& p, int64_t head_size) {
  switch (head_size) {
#define VANTREL_SDP_CASE(D) \
  case D:                   \
    return launch_fp16<D>(queue, p);
    VANTREL_SDP_HEAD_SIZES(VANTREL_SDP_CASE)
#undef VANTREL_SDP_CASE
  }
  no_kernel_for(head_size);
}

sycl::event launch_sdp_fp32(sycl::queue& queue, const sdp_fp32_params& p, int64_t head_size) {
  switch (head_size) {
#define VANTREL_SDP_CASE(D) \
  case D:                   \
    return launch_fp32<D>(queue, p);
    VANTREL_SDP_HEAD_SIZES(VANTREL_SDP_CASE)
#undef VANTREL_SDP_CASE
  }
  no_kernel_for(head_size);
}

}  // namespace vantrel::kernels
