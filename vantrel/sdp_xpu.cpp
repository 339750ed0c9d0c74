// One decoding step of scaled-dot-product attention on the XPU: a single query row per (batch
// entry, head), head dimension 128, against a cache of kv_len key and value rows, in half or single
// precision. Host side: checks, output allocation, kernel choice and launch. Device side: three
// ESIMD kernels that compute the softmax in one pass with base-2 exponentials of scaled scores and
// a single normalisation at the end.
#include <ATen/ATen.h>
#include <c10/core/impl/VirtualGuardImpl.h>
#include <c10/util/Exception.h>

#include <cstdint>
#include <sycl/ext/intel/esimd.hpp>
#include <sycl/ext/intel/experimental/esimd.hpp>
#include <sycl/sycl.hpp>
#include <xpu/xpu.hpp>

#include "xpu_ops.h"

namespace esimd = sycl::ext::intel::esimd;
namespace esimdx = sycl::ext::intel::experimental::esimd;
using esimd::simd;
using sycl::half;

// Names under which the launches appear (launch log, profiler).
namespace kernel_names {
class sdpDim128Fp16Keys128;
class sdpDim128Fp16KeyBlocks64;
class sdpDim128Fp32KeyBlocks64;
}  // namespace kernel_names

namespace {

// ---- device code ----------------------------------------------------------------------------

// log2(e) / sqrt(128), rounded down to 0.1275042 (bit pattern 0x3E029076): scale and change of base
// to 2 in one multiplication.
constexpr float kScoreScale = 0.1275042f;
static_assert(kScoreScale == 0x1.0520ecp-3f, "score scale must have the bit pattern 0x3E029076");

constexpr uint32_t kHeadDim = 128;
constexpr uint32_t kHalfRowBytes = kHeadDim * 2;   // 256
constexpr uint32_t kFloatRowBytes = kHeadDim * 4;  // 512
constexpr uint32_t kBlockKeys = 64;                // keys per block of the blocked kernels

// SLM of the single-pass fp16 kernel: eight value planes of up to 128 keys x 32 bytes, then one
// float weight per key.
constexpr uint32_t kSlmKeys128 = 128 * (8 * 32 + 4);  // 33280
// SLM of the blocked fp16 kernel: eight planes of 64 keys x 32 bytes, then 64 float weights.
constexpr uint32_t kSlmFp16Blocks = kBlockKeys * (8 * 32 + 4);  // 16640
constexpr uint32_t kFp16BlockWeights = kBlockKeys * 8 * 32;     // 16384
// SLM of the fp32 kernel: eight planes of 64 rows x 16 floats, then 64 float weights.
constexpr uint32_t kSlmFp32Blocks = 8 * 4096 + kBlockKeys * 4;  // 33024
constexpr uint32_t kFp32BlockWeights = 8 * 4096;                // 32768

using esimd::cache_hint;
using esimdx::lsc_data_size;

// 64 32-bit words at `base + byteOffset`, cached at both levels.
SYCL_ESIMD_FUNCTION inline simd<uint32_t, 64> loadWords64(const uint8_t* base,
                                                          uint32_t byteOffset) {
  return esimdx::lsc_block_load<uint32_t, 64, lsc_data_size::default_size, cache_hint::cached,
                                cache_hint::cached>(
      reinterpret_cast<const uint32_t*>(base + byteOffset));
}

// One row of 128 halves (one 256-byte block load).
SYCL_ESIMD_FUNCTION inline simd<half, 128> loadHalfRow(const uint8_t* base, uint32_t byteOffset) {
  simd<uint32_t, 64> words = loadWords64(base, byteOffset);
  return words.bit_cast_view<half>().read();
}

// One row of 128 floats (two 256-byte block loads).
SYCL_ESIMD_FUNCTION inline simd<float, 128> loadFloatRow(const uint8_t* base, uint32_t byteOffset) {
  simd<uint32_t, 128> words;
  words.select<64, 1>(0) = loadWords64(base, byteOffset);
  words.select<64, 1>(64) = loadWords64(base, byteOffset + 256);
  return words.bit_cast_view<float>().read();
}

// Sums the lanes by halving: lanes [0, L/2) += lanes [L/2, L), down to one lane.
template <typename T, int L>
SYCL_ESIMD_FUNCTION inline T foldLanes(simd<T, L> x) {
  if constexpr (L >= 16) x.template select<8, 1>(0) += x.template select<8, 1>(8);
  if constexpr (L >= 8) x.template select<4, 1>(0) += x.template select<4, 1>(4);
  x.template select<2, 1>(0) += x.template select<2, 1>(2);
  simd<T, 1> total = x.template select<1, 1>(0) + x.template select<1, 1>(1);
  return total[0];
}

// Weight of one key: 2^(0.1275042 * q.k), the dot product in the element type (half or float)
// over eight 16-lane chunks with a halving fold, the exponential in float, no maximum subtracted.
template <typename T>
SYCL_ESIMD_FUNCTION inline float scoreDim128(simd<T, 128> q, simd<T, 128> k) {
  simd<T, 16> acc = 0;
  for (int i = 0; i < 8; ++i)
    acc += q.template select<16, 1>(16 * i) * k.template select<16, 1>(16 * i);
  simd<float, 1> score = foldLanes<T, 16>(acc);
  simd<float, 1> weight = esimd::exp2(score * kScoreScale);
  return weight[0];
}

// Normalises sixteen accumulated outputs by the total of the weight-sum lanes and stores them as
// halves (one 32-byte block store).
template <int L>
SYCL_ESIMD_FUNCTION inline void finishChunkFp16(simd<float, 16> acc, simd<float, L> wsum,
                                                half* out) {
  const float r = 1.0f / foldLanes<float, L>(wsum);
  simd<half, 16> o = acc * r;
  esimdx::lsc_block_store<uint32_t, 8, lsc_data_size::default_size, cache_hint::write_back,
                          cache_hint::write_back>(reinterpret_cast<uint32_t*>(out),
                                                  o.bit_cast_view<uint32_t>().read());
}

// Writes a value row into the eight chunk planes of SLM (plane c at planeBase + c * planeBytes)
// and its weight into the weight slot.
SYCL_ESIMD_FUNCTION inline void stageHalfRow(simd<half, 128> row, float weight, uint32_t planeBytes,
                                             uint32_t slotOffset, uint32_t weightOffset) {
  esimd::slm_scatter<float, 1>(simd<uint32_t, 1>(weightOffset), simd<float, 1>(weight));
  for (uint32_t c = 0; c < 8; ++c)
    esimd::slm_block_store<half, 16>(c * planeBytes + slotOffset, row.select<16, 1>(16 * c).read());
}

// Attention for 8 to 128 keys: one work-group per (head, batch entry), one work-item per key.
// Rows: q and the output at (b * H + h) * 128; key and value row t at b * s0 + h * s1 + t * 128
// (elements).
SYCL_ESIMD_FUNCTION void sdpDim128Fp16Keys128(const uint8_t* q, const half* k, const uint8_t* v,
                                              half* out, uint64_t kvLen, uint64_t s0, uint64_t s1,
                                              sycl::nd_item<2> item) {
  esimd::slm_init<kSlmKeys128>();
  const uint32_t j = item.get_local_id(0);
  const uint32_t h = item.get_group(0);
  const uint32_t b = item.get_group(1);
  const uint32_t slot = b * uint32_t(item.get_group_range(0)) + h;
  const uint32_t n = uint32_t(kvLen);
  const uint32_t p = (n + 7) & ~7u;  // keys rounded up to whole groups of 8
  const uint32_t planeBytes = p * 32;
  const uint32_t weights = p * 256;
  const uint32_t kvBase = (uint32_t(b * s0) + uint32_t(h * s1)) * 2;

  simd<half, 128> qRow = loadHalfRow(q, slot * kHalfRowBytes);
  simd<half, 128> kRow = loadHalfRow(reinterpret_cast<const uint8_t*>(k), kvBase + j * 256);
  simd<half, 128> vRow = loadHalfRow(v, kvBase + j * 256);
  const float w = scoreDim128(qRow, kRow);
  stageHalfRow(vRow, w, planeBytes, j * 32, weights + 4 * j);
  // Pad keys n .. p-1 get zero values and weight 0 (p - n < 8 <= n, so work-item j fills n + j).
  if (int(p - n) > int(j))
    stageHalfRow(simd<half, 128>(0), 0.0f, planeBytes, (n + j) * 32, weights + 4 * (n + j));
  esimd::barrier();
  if (j >= 8) return;

  // Work-item j reduces output chunk j over all keys, eight at a time.
  simd<float, 16> acc = 0;
  simd<float, 8> wsum = 0;
  for (uint32_t g = 0; g < p / 8; ++g) {
    simd<half, 128> plane = esimd::slm_block_load<half, 128>(j * planeBytes + g * 256);
    simd<float, 8> w8 = esimd::slm_block_load<float, 8>(weights + g * 32);
    for (int e = 0; e < 8; ++e) {
      simd<float, 16> values = plane.select<16, 1>(16 * e);
      acc += values * float(w8[e]);
    }
    wsum += w8;
  }
  finishChunkFp16<8>(acc, wsum, out + slot * kHeadDim + 16 * j);
}

// Attention for any number of keys >= 1: one work-group of 64 work-items per (head, batch entry)
// walking the keys in blocks of 64, running sums in registers. Same row addressing as above.
SYCL_ESIMD_FUNCTION void sdpDim128Fp16KeyBlocks64(const uint8_t* q, const half* k, const uint8_t* v,
                                                  half* out, uint64_t kvLen, uint64_t s0,
                                                  uint64_t s1, sycl::nd_item<2> item) {
  esimd::slm_init<kSlmFp16Blocks>();
  const uint32_t j = item.get_local_id(0);
  const uint32_t h = item.get_group(0);
  const uint32_t b = item.get_group(1);
  const uint32_t slot = b * uint32_t(item.get_group_range(0)) + h;
  const int n = int(uint32_t(kvLen));
  const int blocks = (n + 63) >> 6;
  const uint32_t kvBase = (uint32_t(b * s0) + uint32_t(h * s1)) * 2;
  const uint8_t* kBytes = reinterpret_cast<const uint8_t*>(k);

  simd<half, 128> qRow = loadHalfRow(q, slot * kHalfRowBytes);
  simd<float, 16> acc = 0;   // output chunk j (work-items 0..7)
  simd<float, 16> wsum = 0;  // lane l: weights of keys = l mod 16 (work-items 0..7)
  for (int blk = 0; blk < blocks; ++blk) {
    const int t = blk * int(kBlockKeys) + int(j);
    simd<half, 128> vRow = 0;
    float w = 0.0f;
    if (t < n) {
      const uint32_t rowOffset = kvBase + uint32_t(t) * kHalfRowBytes;
      simd<half, 128> kRow = loadHalfRow(kBytes, rowOffset);
      vRow = loadHalfRow(v, rowOffset);
      w = scoreDim128(qRow, kRow);
    }
    stageHalfRow(vRow, w, kBlockKeys * 32, j * 32, kFp16BlockWeights + 4 * j);
    esimd::barrier();
    if (j < 8) {
      simd<float, 64> w64 = esimd::slm_block_load<float, 64>(kFp16BlockWeights);
      simd<half, 1024> plane;
      for (int i = 0; i < 8; ++i)
        plane.select<128, 1>(128 * i) = esimd::slm_block_load<half, 128>(j * 2048 + i * 256);
      for (int e = 0; e < 64; ++e) {
        simd<float, 16> values = plane.select<16, 1>(16 * e);
        acc += values * float(w64[e]);
      }
      for (int m = 0; m < 4; ++m) wsum += w64.select<16, 1>(16 * m);
    }
    esimd::barrier();  // the next block's staging must not overtake these reads
  }
  if (j < 8) finishChunkFp16<16>(acc, wsum, out + slot * kHeadDim + 16 * j);
}

// Single-precision attention for any number of keys >= 1: one work-group of 64 work-items per
// (head, batch entry) walking the keys in blocks of 64. q, k, v and the output are contiguous:
// head slot s = b * H + h, q and output row s, key and value row t of slot s at (s * kv_len + t).
SYCL_ESIMD_FUNCTION void sdpDim128Fp32KeyBlocks64(const uint8_t* q, const uint8_t* k,
                                                  const uint8_t* v, uint8_t* out, uint64_t kvLen,
                                                  sycl::nd_item<2> item) {
  esimd::slm_init<kSlmFp32Blocks>();
  const uint32_t l = item.get_local_id(0);
  const uint32_t h = item.get_group(0);
  const uint32_t b = item.get_group(1);
  const uint32_t s = b * uint32_t(item.get_group_range(0)) + h;
  const int n = int(uint32_t(kvLen));
  const int blocks = (n + 63) >> 6;

  simd<float, 128> qRow = loadFloatRow(q, s * kFloatRowBytes);
  simd<float, 16> acc = 0;
  simd<float, 16> wsum = 0;
  for (int blk = 0; blk < blocks; ++blk) {
    const int t = blk * int(kBlockKeys) + int(l);
    simd<float, 128> vRow = 0;
    float w = 0.0f;
    if (t < n) {
      const uint32_t rowOffset = (s * uint32_t(n) + uint32_t(t)) * kFloatRowBytes;
      simd<float, 128> kRow = loadFloatRow(k, rowOffset);
      vRow = loadFloatRow(v, rowOffset);
      w = scoreDim128(qRow, kRow);
    }
    esimd::slm_scatter<float, 1>(simd<uint32_t, 1>(kFp32BlockWeights + 4 * l), simd<float, 1>(w));
    for (uint32_t m = 0; m < 8; ++m)
      esimd::slm_block_store<float, 16>(4096 * m + 64 * l, vRow.select<16, 1>(16 * m).read());
    esimd::barrier();
    if (l < 8) {
      simd<float, 64> w64 = esimd::slm_block_load<float, 64>(kFp32BlockWeights);
      for (uint32_t part = 0; part < 2; ++part) {
        simd<float, 512> staged;  // 32 rows of value plane l
        for (uint32_t i = 0; i < 8; ++i)
          staged.select<64, 1>(64 * i) =
              esimd::slm_block_load<float, 64>(4096 * l + 2048 * part + 256 * i);
        for (int e = 0; e < 32; ++e)
          acc += staged.select<16, 1>(16 * e) * float(w64[32 * part + e]);
      }
      for (int m = 0; m < 4; ++m) wsum += w64.select<16, 1>(16 * m);
    }
    esimd::barrier();
  }
  if (l >= 8) return;
  const float r = 1.0f / foldLanes<float, 16>(wsum);
  acc *= r;
  esimdx::lsc_block_store<uint32_t, 16, lsc_data_size::default_size, cache_hint::write_back,
                          cache_hint::write_back>(
      reinterpret_cast<uint32_t*>(out + (s * kHeadDim + 16 * l) * 4),
      acc.bit_cast_view<uint32_t>().read());
}

// ---- host code ------------------------------------------------------------------------------

// Arguments of the fp16 kernels, captured by value.
struct SdpFp16Args {
  const uint8_t* q;  // query [B, H, 1, 128] half, contiguous
  const half* k;     // keys: row (b, h, t) at element b * s0 + h * s1 + t * 128
  const uint8_t* v;  // values, laid out like k (same strides)
  half* out;         // output [B, H * 128] half, contiguous
  uint64_t kvLen;    // number of keys per (b, h), >= 1
  uint64_t s0;       // key stride of dimension 0, elements
  uint64_t s1;       // key stride of dimension 1, elements
};

// Arguments of the fp32 kernel, captured by value.
struct SdpFp32Args {
  const uint8_t* q;  // query [B, H, 1, 128] float, contiguous
  const uint8_t* k;  // keys [B, H, kv_len, 128] float, contiguous
  const uint8_t* v;  // values [B, H, kv_len, 128] float, contiguous
  uint8_t* out;      // output [B, H * 128] float, contiguous
  uint64_t kvLen;    // number of keys per (b, h), >= 1
};

sycl::queue& current_queue(const c10::Device& device) {
  c10::impl::VirtualGuardImpl impl(device.type());
  return xpu::get_queue_from_stream(impl.getStream(device));
}

constexpr uint64_t kFourGiB = uint64_t(1) << 32;

// Whether two same-sized tensors have the same strides, ignoring dimensions of size 1.
bool same_layout(const at::Tensor& a, const at::Tensor& b) {
  for (int64_t d = 0; d < a.dim(); ++d)
    if (a.size(d) > 1 && a.stride(d) != b.stride(d)) return false;
  return true;
}

bool aligned4(const at::Tensor& t) {
  return reinterpret_cast<uintptr_t>(t.data_ptr()) % 4 == 0;
}

// Highest byte reached by the rows 0 .. kv_len-1 of every (b, h) of a [B, H, kv_len, 128] tensor
// whose rows are 128 contiguous elements, plus one.
uint64_t row_span_bytes(const at::Tensor& t) {
  uint64_t elements = uint64_t(t.size(2)) * kHeadDim;
  if (t.size(0) > 1) elements += uint64_t(t.size(0) - 1) * uint64_t(t.stride(0));
  if (t.size(1) > 1) elements += uint64_t(t.size(1) - 1) * uint64_t(t.stride(1));
  return elements * t.element_size();
}

// Rejects every input the kernels cannot serve, before anything is allocated or submitted.
void check_sdp_inputs(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v) {
  TORCH_CHECK(q.dim() == 4, "q must be 4-D [B, H, 1, 128], got ", q.dim(), " dimensions");
  const auto dtype = q.scalar_type();
  TORCH_CHECK(dtype == at::kHalf || dtype == at::kFloat, "q must be Half or Float, got ", dtype);
  TORCH_CHECK(q.is_contiguous(), "q must be contiguous");
  const int64_t B = q.size(0);
  const int64_t H = q.size(1);
  TORCH_CHECK(k.dim() == 4 && k.size(0) == B && k.size(1) == H && k.size(3) == kHeadDim,
              "k must be [B, H, kv_len, 128] with B = ", B, " and H = ", H, " of q, got ",
              k.sizes());
  TORCH_CHECK(k.scalar_type() == dtype, "k must have the element type of q (", dtype, "), got ",
              k.scalar_type());
  TORCH_CHECK(v.sizes() == k.sizes(), "v must have the sizes of k ", k.sizes(), ", got ",
              v.sizes());
  TORCH_CHECK(v.scalar_type() == dtype, "v must have the element type of q (", dtype, "), got ",
              v.scalar_type());
  const int64_t kv_len = k.size(2);
  TORCH_CHECK(kv_len >= 1, "kv_len (k.size(2)) must be at least 1");
  TORCH_CHECK(k.stride(3) == 1 && (kv_len == 1 || k.stride(2) == kHeadDim),
              "k rows must be 128 contiguous elements (stride 128 along dimension 2 and 1 along "
              "dimension 3), got strides ",
              k.strides());
  if (dtype == at::kHalf) {
    TORCH_CHECK(same_layout(k, v), "v must be laid out like k (same strides), got ", v.strides(),
                " and ", k.strides());
  } else {
    TORCH_CHECK(k.is_contiguous(), "k must be contiguous for Float");
    TORCH_CHECK(v.is_contiguous(), "v must be contiguous for Float");
  }
  // The output's extents are 32-bit, and the kernels form 32-bit byte offsets from each base
  // pointer (v spans what k spans: same sizes, and same strides or both contiguous).
  TORCH_CHECK(B < (int64_t(1) << 31) && H * kHeadDim < (int64_t(1) << 31),
              "q must have B < 2^31 and H * 128 < 2^31");
  // The launch's work-items, kv_len per head (one per key) or 64 (blocks of keys), are counted in
  // 32 bits.
  const bool per_key = dtype == at::kHalf && kv_len >= 8 && kv_len <= 128;
  const uint64_t items = uint64_t(B) * uint64_t(H) * uint64_t(per_key ? kv_len : kBlockKeys);
  TORCH_CHECK(items < (uint64_t(1) << 31), "q and k must have B * H * ", per_key ? "kv_len" : "64",
              " < 2^31 (work-items of one launch, ", per_key ? "one per key" : "64 per head",
              "), got B = ", B, ", H = ", H, ", kv_len = ", kv_len);
  TORCH_CHECK(uint64_t(q.numel()) * q.element_size() <= kFourGiB, "q must be at most 4 GiB");
  TORCH_CHECK(row_span_bytes(k) <= kFourGiB, "k must span at most 4 GiB from its data pointer");
  // Every global transfer is a block of 32-bit words.
  TORCH_CHECK(aligned4(q), "q data pointer must be 4-byte aligned");
  const bool even_strides = (B == 1 || k.stride(0) % 2 == 0) && (H == 1 || k.stride(1) % 2 == 0);
  TORCH_CHECK(aligned4(k) && even_strides,
              "k rows must be 4-byte aligned (data pointer, and even strides along dimensions 0 "
              "and 1)");
  TORCH_CHECK(aligned4(v), "v data pointer must be 4-byte aligned");
}

}  // namespace

void sdp_xpu_kernel_fp16(const uint8_t* q, const half* k, const uint8_t* v, half* out, uint64_t B,
                         uint64_t H, uint64_t kv_len, const c10::Device& device, uint64_t s0,
                         uint64_t s1) {
  sycl::queue& queue = current_queue(device);
  const SdpFp16Args args{q, k, v, out, kv_len, s0, s1};
  sycl::event event;
  if (kv_len >= 8 && kv_len <= 128) {
    // One work-item per key.
    const sycl::range<2> global(H * kv_len, B);
    const sycl::range<2> local(kv_len, 1);
    event = queue.submit([&](sycl::handler& cgh) {
      cgh.parallel_for<kernel_names::sdpDim128Fp16Keys128>(
          sycl::nd_range<2>(global, local), [=](sycl::nd_item<2> item) SYCL_ESIMD_KERNEL {
            sdpDim128Fp16Keys128(args.q, args.k, args.v, args.out, args.kvLen, args.s0, args.s1,
                                 item);
          });
    });
  } else {
    // 64 work-items walking the keys in blocks of 64 (also for fewer than 8 keys, where a group
    // of kv_len work-items could not write all eight output chunks).
    const sycl::range<2> global(H * kBlockKeys, B);
    const sycl::range<2> local(kBlockKeys, 1);
    event = queue.submit([&](sycl::handler& cgh) {
      cgh.parallel_for<kernel_names::sdpDim128Fp16KeyBlocks64>(
          sycl::nd_range<2>(global, local), [=](sycl::nd_item<2> item) SYCL_ESIMD_KERNEL {
            sdpDim128Fp16KeyBlocks64(args.q, args.k, args.v, args.out, args.kvLen, args.s0, args.s1,
                                     item);
          });
    });
  }
  xpu::profiler_record("dpcpp_kernel", event);
}

void sdp_xpu_kernel_fp32(const uint8_t* q, const uint8_t* k, const uint8_t* v, uint8_t* out,
                         uint64_t B, uint64_t H, uint64_t kv_len, const c10::Device& device) {
  sycl::queue& queue = current_queue(device);
  const SdpFp32Args args{q, k, v, out, kv_len};
  const sycl::range<2> global(H * kBlockKeys, B);
  const sycl::range<2> local(kBlockKeys, 1);
  sycl::event event = queue.submit([&](sycl::handler& cgh) {
    cgh.parallel_for<kernel_names::sdpDim128Fp32KeyBlocks64>(
        sycl::nd_range<2>(global, local), [=](sycl::nd_item<2> item) SYCL_ESIMD_KERNEL {
          sdpDim128Fp32KeyBlocks64(args.q, args.k, args.v, args.out, args.kvLen, item);
        });
  });
  xpu::profiler_record("dpcpp_kernel", event);
}

at::Tensor sdp_xpu_forward_impl(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v,
                                uint64_t B, uint64_t H, uint64_t kv_len, int64_t hidden,
                                uint64_t s0, uint64_t s1) {
  auto output = at::empty({int64_t(int32_t(B)), int64_t(int32_t(hidden))},
                          at::TensorOptions().dtype(q.scalar_type()).device(q.device()));
  if (B == 0 || H == 0) return output;  // nothing to compute: no launch
  const auto* q_bytes = static_cast<const uint8_t*>(q.data_ptr());
  const auto* v_bytes = static_cast<const uint8_t*>(v.data_ptr());
  if (q.scalar_type() == at::kHalf) {
    sdp_xpu_kernel_fp16(q_bytes, reinterpret_cast<const half*>(k.data_ptr<at::Half>()), v_bytes,
                        reinterpret_cast<half*>(output.data_ptr<at::Half>()), B, H, kv_len,
                        q.device(), s0, s1);
  } else if (q.scalar_type() == at::kFloat) {
    sdp_xpu_kernel_fp32(q_bytes, static_cast<const uint8_t*>(k.data_ptr()), v_bytes,
                        static_cast<uint8_t*>(output.data_ptr()), B, H, kv_len, q.device());
  }
  return output;
}

at::Tensor sdp_xpu_forward(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v) {
  // A q of fewer than four dimensions (or a k of fewer than three) is reported by
  // check_sdp_inputs instead of failing in a size accessor.
  const bool q4 = q.dim() >= 4;
  const int64_t B = q4 ? q.size(0) : 0;
  const int64_t H = q4 ? q.size(1) : 0;
  const int64_t q_len = q4 ? q.size(2) : 1;
  const int64_t head_dim = q4 ? q.size(3) : kHeadDim;
  const int64_t kv_len = k.dim() > 2 ? k.size(2) : 0;
  const int64_t s0 = k.dim() > 0 ? k.stride(0) : 0;
  const int64_t s1 = k.dim() > 1 ? k.stride(1) : 0;
  TORCH_CHECK(q_len == 1, "q_len must be 1 for this kernel impl");
  TORCH_CHECK(head_dim == kHeadDim, "hidden dim must be 128 for this kernel impl");
  check_sdp_inputs(q, k, v);
  return sdp_xpu_forward_impl(negation_applied(q), negation_applied(k), negation_applied(v),
                              uint64_t(B), uint64_t(H), uint64_t(kv_len), H * kHeadDim,
                              uint64_t(s0), uint64_t(s1));
}
