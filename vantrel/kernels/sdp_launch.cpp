// Launchers of the attention kernels (torch-free).
#include "kernels/sdp_launch.hpp"

#include "kernels/launch.hpp"
#include "kernels/sdp_fp16.hpp"
#include "kernels/sdp_fp32.hpp"

namespace vantrel::kernels {

// Names under which the launches appear (launch log, profiler).
namespace kernel_names {
class sdpDim128Fp16Keys128;
class sdpDim128Fp16KeyBlocks64;
class sdpDim128Fp32KeyBlocks64;
}  // namespace kernel_names

namespace {

// Work-groups of `items` work-items, H along dimension 0 and B along dimension 1.
sycl::nd_range<2> groups_of(uint64_t items, uint64_t heads, uint64_t batch) {
  return sycl::nd_range<2>(sycl::range<2>(heads * items, batch), sycl::range<2>(items, 1));
}

}  // namespace

sycl::event launch_sdp_fp16(sycl::queue& queue, const sdp_fp16_params& params) {
  const sdp_fp16_params p = params;
  if (sdp_fp16_item_per_key(p.kv_len)) {
    const auto range = groups_of(p.kv_len, p.heads, p.batch);
    return submit_kernel<kernel_names::sdpDim128Fp16Keys128>(
        queue, range, [p](sycl::nd_item<2> item) { sdpDim128Fp16Keys128(p, item); });
  }
  // Blocks of 64 keys, also for fewer than 8 keys, where a group of kv_len work-items could not
  // write all eight output chunks.
  const auto range = groups_of(kSdpBlockKeys, p.heads, p.batch);
  return submit_kernel<kernel_names::sdpDim128Fp16KeyBlocks64>(
      queue, range, [p](sycl::nd_item<2> item) { sdpDim128Fp16KeyBlocks64(p, item); });
}

sycl::event launch_sdp_fp32(sycl::queue& queue, const sdp_fp32_params& params) {
  const sdp_fp32_params p = params;
  const auto range = groups_of(kSdpBlockKeys, p.heads, p.batch);
  return submit_kernel<kernel_names::sdpDim128Fp32KeyBlocks64>(
      queue, range, [p](sycl::nd_item<2> item) { sdpDim128Fp32KeyBlocks64(p, item); });
}

}  // namespace vantrel::kernels
