// Launchers of the attention kernels (torch-free).
#include "vantrel/kernels/sdp_launch.hpp"

#include <stdexcept>
#include <string>

#include "vantrel/kernels/launch.hpp"
#include "vantrel/kernels/sdp_fp16.hpp"
#include "vantrel/kernels/sdp_fp32.hpp"

namespace vantrel::kernels {

// Names under which the launches appear (launch log, profiler).
namespace kernel_names {
class sdpDim128Fp16Keys128;
class sdpDim128Fp16Keys128Grouped;
class sdpDim128Fp16KeyBlocks64;
class sdpDim128Fp16KeyBlocks64Grouped;
class sdpDim128Fp32KeyBlocks64;
class sdpDim128Fp32KeyBlocks64Grouped;
}  // namespace kernel_names

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

}  // namespace

sycl::event launch_sdp_fp16(sycl::queue& queue, const sdp_fp16_params& p) {
  const bool kv_grouped = grouped(p.heads, p.kv_heads, p.kv_len);
  if (sdp_fp16_item_per_key(p.kv_len)) {
    const auto range = groups_of(p.kv_len, p.kv_heads, p.batch);
    if (kv_grouped)
      return submit_kernel<kernel_names::sdpDim128Fp16Keys128Grouped>(
          queue, range, [p](sycl::nd_item<2> item) { sdpDim128Fp16Keys128Grouped(p, item); });
    return submit_kernel<kernel_names::sdpDim128Fp16Keys128>(
        queue, range, [p](sycl::nd_item<2> item) { sdpDim128Fp16Keys128(p, item); });
  }
  // Blocks of 64 keys, also for fewer than 8 keys, where a group of kv_len work-items could not
  // write all eight output chunks.
  const auto range = groups_of(kSdpBlockKeys, p.kv_heads, p.batch);
  if (kv_grouped)
    return submit_kernel<kernel_names::sdpDim128Fp16KeyBlocks64Grouped>(
        queue, range, [p](sycl::nd_item<2> item) { sdpDim128Fp16KeyBlocks64Grouped(p, item); });
  return submit_kernel<kernel_names::sdpDim128Fp16KeyBlocks64>(
      queue, range, [p](sycl::nd_item<2> item) { sdpDim128Fp16KeyBlocks64(p, item); });
}

sycl::event launch_sdp_fp32(sycl::queue& queue, const sdp_fp32_params& p) {
  const bool kv_grouped = grouped(p.heads, p.kv_heads, p.kv_len);
  const auto range = groups_of(kSdpBlockKeys, p.kv_heads, p.batch);
  if (kv_grouped)
    return submit_kernel<kernel_names::sdpDim128Fp32KeyBlocks64Grouped>(
        queue, range, [p](sycl::nd_item<2> item) { sdpDim128Fp32KeyBlocks64Grouped(p, item); });
  return submit_kernel<kernel_names::sdpDim128Fp32KeyBlocks64>(
      queue, range, [p](sycl::nd_item<2> item) { sdpDim128Fp32KeyBlocks64(p, item); });
}

}  // namespace vantrel::kernels
