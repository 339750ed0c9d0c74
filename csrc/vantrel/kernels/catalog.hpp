// What the kernels serve: the one list of layer widths per weight layout, the row limit, the
// attention head sizes and group limit, the score scale per head size, the sizes of the decoding
// step's fused kernels (add_rms_norm, rotary_cache, silu_mul), and the kernel chosen for a shape.
// Launchers, checks, bindings, tests and benchmarks all read it; Python reads it through the module
// (vantrel.linear_layout, vantrel.sdp_kernel, ...). Torch-free.
//
// The width lists are X-macros so that one list also generates the kernel name classes and the
// launchers' cases: X(K) is applied to every width, in increasing order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// Widths K whose kernel reads weights pre-arranged in blocks of 16 output features:
// [N/16][K][16], output feature n at input feature k at element ((n / 16) K + k) 16 + n % 16.
#define VANTREL_ARRANGED_WIDTHS(X) X(4096) X(5120) X(8192)
// Widths K whose kernel reads row-major weights [N][K]: every other width of the LLaMA family and
// of its 2-, 4- and 8-way tensor-parallel shards. A multiple of 16; 1376, 1728 and 2752 end in a
// partial 128-wide slice.
// clang-format off
#define VANTREL_ROW_MAJOR_WIDTHS(X)                                                            \
  X(256) X(384) X(512) X(640) X(768) X(1024) X(1280) X(1376) X(1536) X(1728) X(1792) X(2048) \
  X(2560) X(2752) X(3072) X(3456) X(3584) X(5504) X(6912) X(7168) X(11008) X(13824) X(14336) \
  X(22016) X(28672)
// clang-format on
// Head sizes with attention kernels.
#define VANTREL_SDP_HEAD_SIZES(X) X(64) X(128)
// Packed integer weights: bits per code, and group sizes (consecutive input features sharing one
// scale and zero).
#define VANTREL_QUANT_BITS(X) X(4) X(8)
#define VANTREL_QUANT_GROUP_SIZES(X) X(32) X(64) X(128)
// Every (bits, group size) pair of the two lists above for width K, as X(K, bits, group size): the
// packed kernels' name classes and launch cases (checked against the lists below).
#define VANTREL_QUANT_FORMATS(X, K) \
  X(K, 4, 32) X(K, 4, 64) X(K, 4, 128) X(K, 8, 32) X(K, 8, 64) X(K, 8, 128)
// Hidden sizes H with an add_rms_norm kernel of their own, addRmsNormDim{H}: the LLaMA family's.
// Every other multiple of 16 up to kNormMaxWidth runs addRmsNormDimAny, the same body with H read
// at run time.
#define VANTREL_NORM_WIDTHS(X) X(2048) X(3072) X(4096) X(5120) X(8192)
// Intermediate sizes I whose silu_mul launches carry their size, siluMulDim{I}: the LLaMA family's.
// Every other multiple of 16 up to kGatedMaxWidth launches as siluMulDimAny; one body serves all.
#define VANTREL_GATED_WIDTHS(X) X(8192) X(11008) X(13824) X(14336) X(22016) X(28672)
// Head sizes D of rotary_cache: every multiple of 16 up to 256, each its own kernel
// rotaryCacheDim{D}.
// clang-format off
#define VANTREL_ROTARY_HEAD_SIZES(X) \
  X(16) X(32) X(48) X(64) X(80) X(96) X(112) X(128) X(144) X(160) X(176) X(192) X(208) X(224) \
  X(240) X(256)
// clang-format on

namespace vantrel::kernels {

#define VANTREL_LIST_ENTRY(value) value,
inline constexpr std::array kArrangedWidths{VANTREL_ARRANGED_WIDTHS(VANTREL_LIST_ENTRY)};
inline constexpr std::array kRowMajorWidths{VANTREL_ROW_MAJOR_WIDTHS(VANTREL_LIST_ENTRY)};
inline constexpr std::array kSdpHeadSizes{VANTREL_SDP_HEAD_SIZES(VANTREL_LIST_ENTRY)};
inline constexpr std::array kQuantBits{VANTREL_QUANT_BITS(VANTREL_LIST_ENTRY)};
inline constexpr std::array kQuantGroupSizes{VANTREL_QUANT_GROUP_SIZES(VANTREL_LIST_ENTRY)};
inline constexpr std::array kNormWidths{VANTREL_NORM_WIDTHS(VANTREL_LIST_ENTRY)};
inline constexpr std::array kGatedWidths{VANTREL_GATED_WIDTHS(VANTREL_LIST_ENTRY)};
inline constexpr std::array kRotaryHeadSizes{VANTREL_ROTARY_HEAD_SIZES(VANTREL_LIST_ENTRY)};
#undef VANTREL_LIST_ENTRY

// ---- linear -------------------------------------------------------------------------------------

// Input rows the linear kernels take at most (M); more rows go to PyTorch's linear.
inline constexpr int64_t kLinearMaxRows = 8;
// Weights the linear kernels read are smaller than this: their byte offsets are 32-bit.
inline constexpr int64_t kLinearMaxWeightBytes = int64_t{1} << 32;

// How a linear kernel reads its weights. A weight format (binary16 today; room for packed integer
// formats with their bits and group sizes) is a property of the family, not of the width.
enum class weight_layout {
  none,       // no kernel serves the width: PyTorch's linear on row-major weights
  arranged,   // blocks of 16 outputs [N/16][K][16], N a multiple of 16
  row_major,  // [N][K], N a multiple of 4
};

struct linear_family {
  weight_layout layout;
  const char* layout_name;  // "arranged", "row_major": the name Python sees
  const char* name_suffix;  // gemmCommonDim{K}{name_suffix} is the kernel of width K
  uint32_t n_multiple;      // output features N must be a multiple of this
  uint32_t weight_bits;     // bits per stored weight (16: binary16)
};

inline constexpr linear_family kArrangedFamily{weight_layout::arranged, "arranged", "Fp16V0", 16,
                                               16};
inline constexpr linear_family kRowMajorFamily{weight_layout::row_major, "row_major",
                                               "Fp16NoReshape", 4, 16};
// Output features per block of the arranged layout.
inline constexpr uint32_t kBlockOutputs = 16;

template <typename List>
constexpr bool listed(const List& list, int64_t value) {
  for (auto v : list)
    if (int64_t(v) == value) return true;
  return false;
}

// The layout the kernel of width K reads, or weight_layout::none without a kernel.
constexpr weight_layout linear_layout(int64_t K) {
  if (listed(kArrangedWidths, K)) return weight_layout::arranged;
  if (listed(kRowMajorWidths, K)) return weight_layout::row_major;
  return weight_layout::none;
}

// The family of a layout that has kernels.
constexpr const linear_family& linear_family_of(weight_layout layout) {
  return layout == weight_layout::arranged ? kArrangedFamily : kRowMajorFamily;
}

// The name of the kernel that serves a binary16 input of `rows` rows and width K ("" for none).
inline std::string linear_kernel_name(int64_t rows, int64_t K) {
  const weight_layout layout = linear_layout(K);
  if (layout == weight_layout::none || rows < 1 || rows > kLinearMaxRows) return "";
  return "gemmCommonDim" + std::to_string(K) + linear_family_of(layout).name_suffix;
}

// ---- packed integer weights -------------------------------------------------------------------

// Whether kernels read the packed bytes themselves: every width with a half kernel has packed
// kernels of the same layout, gemmCommonDim{K}Int{bits}G{group size}{V0 | NoReshape}, one per
// (bits, group size) pair with g dividing K.
inline constexpr bool kQuantKernels = true;

namespace detail {
#define VANTREL_FORMAT_ENTRY(K, bits, group) (bits) * 1000 + (group),
inline constexpr std::array kQuantFormatCodes{VANTREL_QUANT_FORMATS(VANTREL_FORMAT_ENTRY, 0)};
#undef VANTREL_FORMAT_ENTRY
constexpr bool formats_cover_lists() {
  std::size_t i = 0;
  for (auto b : kQuantBits)
    for (auto g : kQuantGroupSizes)
      if (i >= kQuantFormatCodes.size() || kQuantFormatCodes[i++] != b * 1000 + g) return false;
  return i == kQuantFormatCodes.size();
}
static_assert(formats_cover_lists(), "VANTREL_QUANT_FORMATS must pair every bits with every group");
}  // namespace detail

// The name of the packed kernel that serves a half input of `rows` rows and width K with codes of
// `bits` bits in groups of `group_size` ("" for none: the operator dequantizes and takes forward's
// path).
inline std::string quantized_kernel_name(int64_t rows, int64_t K, int64_t bits,
                                         int64_t group_size) {
  const weight_layout layout = linear_layout(K);
  if (layout == weight_layout::none || rows < 1 || rows > kLinearMaxRows ||
      !listed(kQuantBits, bits) || !listed(kQuantGroupSizes, group_size) || K % group_size != 0)
    return "";
  return "gemmCommonDim" + std::to_string(K) + "Int" + std::to_string(bits) + "G" +
         std::to_string(group_size) + (layout == weight_layout::arranged ? "V0" : "NoReshape");
}

// ---- attention ----------------------------------------------------------------------------------

// Query heads one key/value head serves at most (G = H / H_kv): the blocked kernels keep the
// G * D / 16 (query head, 16-element output chunk) accumulators of a work-group in its 64
// work-items, at most four per work-item for D = 128.
inline constexpr uint64_t kSdpMaxGroupHeads = 32;

// The scale that turns a raw score q.k into the exponent of 2 of its weight, standing for
// log2(e) / sqrt(D) with head size D: for 64 the float nearest log2(e) / 8, 0.18033688 (bit pattern
// 0x3E38AA3B); for 128 the kernels' constant 0.1275042 (bit pattern 0x3E029076), 1.04e-4 below the
// exact 0.1275174 relative to it. 0 for a head size without kernels.
constexpr float sdp_score_scale(int64_t head_size) {
  return head_size == 64 ? 0x1.715476p-3f : head_size == 128 ? 0x1.0520ecp-3f : 0.0f;
}

// The attention kernels, by element type and cache length.
enum class sdp_variant {
  fp16_keys128,       // half, 8 <= kv_len <= 128: one work-item per key
  fp16_key_blocks64,  // half, other kv_len: blocks of 64 keys
  fp32_key_blocks64,  // float: blocks of 64 keys
};

// Whether a half call with kv_len keys takes one work-item per key rather than blocks of 64 keys
// (fewer than 8 keys could not write the eight output chunks of a head).
constexpr bool sdp_fp16_item_per_key(uint64_t kv_len) {
  return kv_len >= 8 && kv_len <= 128;
}

constexpr sdp_variant sdp_variant_for(bool half, uint64_t kv_len) {
  if (!half) return sdp_variant::fp32_key_blocks64;
  return sdp_fp16_item_per_key(kv_len) ? sdp_variant::fp16_keys128 : sdp_variant::fp16_key_blocks64;
}

// The name of the kernel for a call ("" when the head size or the grouping has none): a grouped
// call (G > 1) runs the Grouped variant.
inline std::string sdp_kernel_name(bool half, int64_t head_size, uint64_t kv_len, uint64_t group) {
  if (!listed(kSdpHeadSizes, head_size) || group < 1 || group > kSdpMaxGroupHeads || kv_len < 1)
    return "";
  const char* variant = "";
  switch (sdp_variant_for(half, kv_len)) {
    case sdp_variant::fp16_keys128:
      variant = "Fp16Keys128";
      break;
    case sdp_variant::fp16_key_blocks64:
      variant = "Fp16KeyBlocks64";
      break;
    case sdp_variant::fp32_key_blocks64:
      variant = "Fp32KeyBlocks64";
      break;
  }
  return "sdpDim" + std::to_string(head_size) + variant + (group > 1 ? "Grouped" : "");
}

// ---- fused decoding-step kernels ----------------------------------------------------------------

// Every size of the fused kernels is a whole number of 16-element chunks.
inline constexpr int64_t kFusedChunk = 16;
// The largest hidden size add_rms_norm serves, intermediate size silu_mul serves and head size
// rotary_cache serves.
inline constexpr int64_t kNormMaxWidth = 32768;
inline constexpr int64_t kGatedMaxWidth = 65536;
inline constexpr int64_t kRotaryMaxHeadSize = 256;

// Whether `size` is a whole number of chunks from 16 to `max`.
constexpr bool chunked_size(int64_t size, int64_t max) {
  return size >= kFusedChunk && size <= max && size % kFusedChunk == 0;
}

namespace detail {
template <typename List>
constexpr bool all_chunked(const List& list, int64_t max) {
  for (auto size : list)
    if (!chunked_size(size, max)) return false;
  return true;
}
static_assert(all_chunked(kNormWidths, kNormMaxWidth) && all_chunked(kGatedWidths, kGatedMaxWidth));
static_assert(kRotaryHeadSizes.size() == kRotaryMaxHeadSize / kFusedChunk &&
                  all_chunked(kRotaryHeadSizes, kRotaryMaxHeadSize),
              "VANTREL_ROTARY_HEAD_SIZES lists every multiple of 16 up to 256");
}  // namespace detail

// The kernel of add_rms_norm for hidden size H ("" for none).
inline std::string add_rms_norm_kernel_name(int64_t H) {
  if (!chunked_size(H, kNormMaxWidth)) return "";
  return "addRmsNormDim" + (listed(kNormWidths, H) ? std::to_string(H) : std::string("Any"));
}

// The kernel of silu_mul for intermediate size I ("" for none).
inline std::string silu_mul_kernel_name(int64_t I) {
  if (!chunked_size(I, kGatedMaxWidth)) return "";
  return "siluMulDim" + (listed(kGatedWidths, I) ? std::to_string(I) : std::string("Any"));
}

// The kernel of rotary_cache for head size D ("" for none).
inline std::string rotary_cache_kernel_name(int64_t D) {
  return listed(kRotaryHeadSizes, D) ? "rotaryCacheDim" + std::to_string(D) : "";
}

}  // namespace vantrel::kernels
