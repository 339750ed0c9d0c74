// Launchers of the attention kernels and their parameters (torch-free). One decoding step: a
// single query row of D elements (the head size) per (batch entry, query head) against kv_len key
// and value rows of its key/value head; query head h of H reads key/value head h / G of H_kv,
// G = H / H_kv.
//
// The caller checks the inputs first (ops/sdp.cpp does for the operator): H_kv divides H with
// G <= kSdpMaxGroupHeads, kv_len >= 1, every row 4-byte aligned, every byte offset from q, k, v
// and out below 2^32, and fewer than 2^31 work-items (sdp_work_items).
#pragma once

#include <cstdint>
#include <sycl/sycl.hpp>

#include "vantrel/kernels/catalog.hpp"

namespace vantrel::kernels {

// Half precision. The kernel (head size D): H_kv = H, 8 <= kv_len <= 128: sdpDim{D}Fp16Keys128 (a
// work-group of kv_len work-items per (head, batch entry), one per key); other kv_len:
// sdpDim{D}Fp16KeyBlocks64 (64 work-items per (head, batch entry) walking blocks of 64 keys).
// H_kv < H: the same choice with the Grouped variants, one work-group per (key/value head, batch
// entry) serving its G query heads.
struct sdp_fp16_params {
  const uint8_t* q;   // queries [B, H, 1, D], contiguous: query head h of batch entry b at
                      // byte 2 * D * (b * H + h)
  const uint8_t* k;   // keys: row t of key/value head g of batch entry b at element
                      // b * stride0 + g * stride1 + D * t (rows of D contiguous halves)
  const uint8_t* v;   // values, laid out like k (same strides)
  uint8_t* out;       // output [B, H * D], contiguous, rows like q
  uint64_t batch;     // B
  uint64_t heads;     // H, query heads per batch entry
  uint64_t kv_heads;  // H_kv, key/value heads per batch entry
  uint64_t kv_len;    // keys (and values) per key/value head, >= 1
  uint64_t stride0;   // element stride of k and v along the batch dimension
  uint64_t stride1;   // element stride of k and v along the head dimension
};

// Single precision, all tensors contiguous. The kernel (head size D): sdpDim{D}Fp32KeyBlocks64 (64
// work-items per (head, batch entry) walking blocks of 64 keys), sdpDim{D}Fp32KeyBlocks64Grouped
// for H_kv < H.
struct sdp_fp32_params {
  const uint8_t* q;   // queries [B, H, 1, D]
  const uint8_t* k;   // keys [B, H_kv, kv_len, D]
  const uint8_t* v;   // values [B, H_kv, kv_len, D]
  uint8_t* out;       // output [B, H * D]
  uint64_t batch;     // B
  uint64_t heads;     // H, query heads per batch entry
  uint64_t kv_heads;  // H_kv, key/value heads per batch entry
  uint64_t kv_len;    // keys (and values) per key/value head, >= 1
};

// Work-items of a launch: B * H_kv work-groups of kv_len (one per key) or 64 work-items.
inline uint64_t sdp_work_items(uint64_t batch, uint64_t kv_heads, uint64_t kv_len, bool per_key) {
  return batch * kv_heads * (per_key ? kv_len : 64);
}

// Submit the kernel of head size `head_size` for `params` on `queue` and return its event without
// waiting. Throws std::invalid_argument when no kernel serves the head size
// (VANTREL_SDP_HEAD_SIZES), H_kv does not divide H, G exceeds kSdpMaxGroupHeads or kv_len is 0.
sycl::event launch_sdp_fp16(sycl::queue& queue, const sdp_fp16_params& params, int64_t head_size);
sycl::event launch_sdp_fp32(sycl::queue& queue, const sdp_fp32_params& params, int64_t head_size);

}  // namespace vantrel::kernels
