// Linear layer without bias for decoding steps: output = input x weights^T in half precision.
// Two ESIMD kernels, each fixed to one layer width: gemmCommonDim4096Fp16V0 (K = 4096, weights
// pre-arranged in blocks of 16 output features) and gemmCommonDim11008Fp16NoReshape (K = 11008,
// row-major weights). Half inputs of up to 8 rows with one of those widths take a kernel; every
// other call goes to PyTorch's linear.
#include <ATen/ATen.h>
#include <ATen/Dispatch.h>
#include <c10/core/impl/VirtualGuardImpl.h>
#include <c10/util/Exception.h>

#include <cstdint>
#include <sycl/ext/intel/esimd.hpp>
#include <sycl/ext/intel/experimental/esimd.hpp>
#include <sycl/sycl.hpp>
#include <type_traits>
#include <xpu/xpu.hpp>

#include "xpu_ops.h"

using namespace sycl::ext::intel::esimd;
namespace xesimd = sycl::ext::intel::experimental::esimd;
using fp16 = sycl::half;

// Names the launch log and the profiler show for the two kernels.
namespace kernel_names {
template <typename T>
class gemmCommonDim4096Fp16V0;
template <typename T>
class gemmCommonDim11008Fp16NoReshape;
}  // namespace kernel_names

namespace {

// Global-memory block transfers of 32-bit words with explicit cache hints.
template <int NWords, cache_hint L1, cache_hint L3>
SYCL_ESIMD_FUNCTION inline simd<uint32_t, NWords> load_words(const unsigned char* p) {
  return xesimd::lsc_block_load<uint32_t, NWords, xesimd::lsc_data_size::default_size, L1, L3>(
      reinterpret_cast<const uint32_t*>(p));
}

template <int NWords>
SYCL_ESIMD_FUNCTION inline void store_words(unsigned char* p, simd<uint32_t, NWords> words) {
  xesimd::lsc_block_store<uint32_t, NWords, xesimd::lsc_data_size::default_size,
                          cache_hint::write_back, cache_hint::write_back>(
      reinterpret_cast<uint32_t*>(p), words);
}

}  // namespace

// K = 4096. A work-group of 64 work-items owns 16 output features (group index 0) and up to 128
// input rows (group index 1). Work-item w keeps the 64 x 16 weight tile of input features
// 64w .. 64w+63 in registers, forms 4 rows x 16 partial sums per block of four rows, and the 64
// partial sums per output meet in SLM, where work-items 0..3 finish and store one row each.
// Weights: ceil(N/16) blocks of [4096][16] halves. All arithmetic is binary16.
SYCL_ESIMD_FUNCTION inline void gemmCommonDim4096Fp16V0(const unsigned char* weight,
                                                        const unsigned char* input,
                                                        unsigned char* output, int M,
                                                        sycl::nd_item<2> item) {
  constexpr uint32_t kInputRowBytes = 4096 * sizeof(fp16);          // 8192
  constexpr uint32_t kWeightBlockBytes = 4096 * 16 * sizeof(fp16);  // 131072, one group's block
  constexpr uint32_t kTileBytes = 64 * 16 * sizeof(fp16);           // 2048, one work-item's tile
  constexpr uint32_t kSlmRowSection = 64 * 16 * sizeof(fp16);       // 2048, partial sums of a row

  slm_init<16384>();

  const uint32_t w = item.get_local_id(0) * item.get_local_range(1) + item.get_local_id(1);
  const uint32_t g0 = item.get_group(0);
  const uint32_t G0 = item.get_group_range(0);
  const uint32_t g1 = item.get_group(1);
  const uint32_t G1 = item.get_group_range(1);
  const uint32_t ldo = 16 * G0;  // output row stride in elements
  const uint32_t m = static_cast<uint32_t>(M);

  const simd<uint32_t, 4> baseOffsetInc4(0, 1);  // {0, 1, 2, 3}
  simd<uint32_t, 4> rows = baseOffsetInc4 + 128 * g1;
  uint32_t o = (128 * g1 + w) * ldo + 16 * g0;  // output element of this item's row (w < 4)
  const uint32_t blocks = g1 + 1 < G1 ? 32 : (m - 128 * g1 + 3) / 4;

  // Tile element 16k + j: weight of output feature 16 g0 + j at input feature 64w + k.
  simd<fp16, 1024> tile;
  const uint32_t tile_offset = kWeightBlockBytes * g0 + kTileBytes * w;
  for (int i = 0; i < 8; ++i)
    tile.bit_cast_view<uint32_t>().select<64, 1>(64 * i) =
        load_words<64, cache_hint::uncached, cache_hint::uncached>(weight + tile_offset + 256 * i);

  // Elements 64r .. 64r+63: input features 64w .. 64w+63 of row rows[r]. Rows at or past M are
  // not read; their lanes are zero. The vector is also the reduction's scratch.
  simd<fp16, 512> in;
  auto load_inputs = [&]() {
    for (int r = 0; r < 4; ++r) {
      const uint32_t row = rows[r];
      if (row < m)
        in.bit_cast_view<uint32_t>().select<32, 1>(32 * r) =
            load_words<32, cache_hint::cached, cache_hint::cached>(input + row * kInputRowBytes +
                                                                   128 * w);
      else
        in.select<64, 1>(64 * r) = 0;
    }
  };
  load_inputs();

  simd<fp16, 64> acc;  // 16 output features for each of the four rows
  // Each row's 16 sums run over k = 0 .. 63 in order; the rows' chains are independent, so they
  // are interleaved. Only the block's rows below M are computed: nothing reads the others.
  auto accumulate = [&](auto rowCount) {
    constexpr int kRows = decltype(rowCount)::value;
    for (int k = 0; k < 64; ++k)
      for (int r = 0; r < kRows; ++r) {
        const fp16 x = in[64 * r + k];
        acc.select<16, 1>(16 * r) += tile.select<16, 1>(16 * k) * x;
      }
    for (int r = 0; r < kRows; ++r)
      slm_block_store<fp16, 16>(kSlmRowSection * r + 32 * w, acc.select<16, 1>(16 * r).read());
  };
  for (uint32_t t = 0; t < blocks; ++t) {
    acc = 0;
    const uint32_t live = m - rows[0];  // rows of this block below M, at least 1
    if (live >= 4)
      accumulate(std::integral_constant<int, 4>());
    else if (live == 3)
      accumulate(std::integral_constant<int, 3>());
    else if (live == 2)
      accumulate(std::integral_constant<int, 2>());
    else
      accumulate(std::integral_constant<int, 1>());
    barrier();

    if (w < 4) {
      const uint32_t row = rows[w];
      if (row < m) {
        // Section w holds the 64 work-items' partial sums for this row, 16 per work-item; each
        // half of it (work-items 0..31, then 32..63) is folded pairwise into 32 lanes, then 16.
        simd<fp16, 16> y[2];
        for (int h = 0; h < 2; ++h) {
          for (int i = 0; i < 4; ++i)
            in.select<128, 1>(128 * i) =
                slm_block_load<fp16, 128>(kSlmRowSection * w + 1024 * h + 256 * i);
          for (int i = 1; i < 16; ++i) in.select<32, 1>(0) += in.select<32, 1>(32 * i);
          y[h] = in.select<16, 1>(0) + in.select<16, 1>(16);
        }
        simd<fp16, 16> out = y[0] + y[1];
        store_words<8>(output + 2 * o, out.bit_cast_view<uint32_t>().read());
        o += 4 * ldo;
      }
    }
    rows += 4;
    barrier();
    if (t + 1 < blocks) load_inputs();
  }
}

// K = 11008. A work-group of 11 x 4 work-items owns 4 consecutive output features; work-item
// (a, b) serves feature 4g + b and keeps the 128-wide slices a + 11j (j = 0..6) and 77 + a (a < 9)
// of its weight row in registers. Each work-item folds its 16 lanes to one value per row, the
// values meet in SLM, and work-item (0, 0) finishes and stores all four features of every row.
// Weights: row-major [N][11008]. All arithmetic is binary16.
SYCL_ESIMD_FUNCTION inline void gemmCommonDim11008Fp16NoReshape(const unsigned char* weight,
                                                                const unsigned char* input,
                                                                unsigned char* output, int M,
                                                                sycl::nd_item<2> item) {
  constexpr uint32_t kRowBytes = 11008 * sizeof(fp16);  // 22016, input and weight rows
  constexpr uint32_t kSliceBytes = 128 * sizeof(fp16);  // 256
  constexpr uint32_t kSliceStride = 11 * kSliceBytes;   // 2816, between a work-item's slices
  constexpr uint32_t kSlmRegionBytes = 12 * 8;          // 96: 12 slots of 4 rows per feature

  slm_init<384>();

  const uint32_t a = item.get_local_id(0);
  const uint32_t b = item.get_local_id(1);
  const uint32_t g = item.get_group(0);
  const uint32_t G = item.get_group_range(0);
  const uint32_t ldo = 4 * G;  // output row stride in elements
  const uint32_t m = static_cast<uint32_t>(M);

  const simd<uint32_t, 4> baseOffsetInc4(0, 1);  // {0, 1, 2, 3}
  const simd<uint32_t, 2> baseOffsetInc2(0, 1);  // {0, 1}
  simd<uint32_t, 4> rows = baseOffsetInc4;
  uint32_t o = 4 * g;  // output element of feature 0, row 0 of the block
  const uint32_t blocks = (m + 3) >> 2;
  const int slices = a < 9 ? 8 : 7;

  // Slice j in elements 128j .. 128j+127.
  simd<fp16, 1024> wts;
  const uint32_t weight_offset = (4 * g + b) * kRowBytes + kSliceBytes * a;
  for (int j = 0; j < slices; ++j)
    wts.bit_cast_view<uint32_t>().select<64, 1>(64 * j) =
        load_words<64, cache_hint::cached, cache_hint::uncached>(weight + weight_offset +
                                                                 kSliceStride * j);

  simd<fp16, 512> in;  // row r of the slice in hand at 128r; the leader's scratch
  simd<fp16, 64> acc;  // 16 lanes for each of the four rows
  const uint32_t slot = kSlmRegionBytes * b + 8 * a;
  for (uint32_t t = 0; t < blocks; ++t) {
    acc = 0;
    for (int j = 0; j < slices; ++j) {
      const uint32_t input_offset = kSliceBytes * a + kSliceStride * j;
      for (int r = 0; r < 4; ++r) {
        const uint32_t row = rows[r];
        if (row < m)
          in.bit_cast_view<uint32_t>().select<64, 1>(64 * r) =
              load_words<64, cache_hint::cached, cache_hint::cached>(input + row * kRowBytes +
                                                                     input_offset);
      }
      for (int r = 0; r < 4; ++r) {
        const uint32_t row = rows[r];
        if (row < m)
          for (int q = 0; q < 8; ++q)
            acc.select<16, 1>(16 * r) +=
                wts.select<16, 1>(128 * j + 16 * q) * in.select<16, 1>(128 * r + 16 * q);
      }
    }

    // Lane tree: 16 lanes of each row to one value.
    simd<fp16, 4> p;
    for (int r = 0; r < 4; ++r) {
      auto lanes = acc.select<16, 1>(16 * r);
      lanes.select<8, 1>(0) += lanes.select<8, 1>(8);
      lanes.select<4, 1>(0) += lanes.select<4, 1>(4);
      lanes.select<2, 1>(0) += lanes.select<2, 1>(2);
      const fp16 l0 = lanes[0], l1 = lanes[1];
      p[r] = l0 + l1;
    }
    slm_scatter<uint32_t, 2>(baseOffsetInc2 * 4 + slot, p.bit_cast_view<uint32_t>().read());
    if (a == 0)  // slot 11 of the region: zeros
      slm_scatter<uint32_t, 2>(baseOffsetInc2 * 4 + (kSlmRegionBytes * b + 88),
                               simd<uint32_t, 2>(0));
    barrier();

    if (a == 0 && b == 0) {
      // Scratch element 48f + 4s + r: slot s, row r of feature f.
      in.select<128, 1>(0) = slm_block_load<fp16, 128>(0);
      in.select<64, 1>(128) = slm_block_load<fp16, 64>(256);
      for (int f = 0; f < 4; ++f) {
        auto v = in.select<48, 1>(48 * f);
        v.select<16, 1>(0) += v.select<16, 1>(16);  // slots s + (s + 4)
        v.select<16, 1>(0) += v.select<16, 1>(32);  // + slot s + 8
        v.select<8, 1>(0) += v.select<8, 1>(8);     // slots 0, 1 + slots 2, 3
        in.select<4, 1>(192 + 4 * f) = v.select<4, 1>(0) + v.select<4, 1>(4);
      }
      for (int r = 0; r < 4; ++r) {
        const uint32_t row = rows[r];
        if (row < m) {
          simd<fp16, 4> out = in.select<4, 4>(192 + r);  // features 0..3 of row r
          store_words<2>(output + 2 * (o + r * ldo), out.bit_cast_view<uint32_t>().read());
        }
      }
    }
    barrier();
    rows += 4;
    o += 4 * ldo;
  }
}

namespace {

// Kernel arguments, the same four for both kernels, captured by value in this order.
struct linear_kernel_args {
  const unsigned char* weight;  // binary16 weights: [N/16][4096][16] (K = 4096) or [N][11008]
  const unsigned char* input;   // binary16 input rows [M][K], row-major
  unsigned char* output;        // binary16 output rows [M][N], row-major; every element written
  int M;                        // number of input rows
};

}  // namespace

// Submits the kernel for K to the queue of the device's current stream and returns without
// waiting. The caller has checked the sizes, shapes and alignment the kernels rely on.
template <typename T>
void qlinear_xpu_kernel_fp16(const T* input, const T* weights, T* output, uint64_t M, uint64_t K,
                             uint64_t N, const c10::Device& device) {
  static_assert(sizeof(T) == sizeof(fp16), "the kernels read and write binary16 values");
  const linear_kernel_args args{reinterpret_cast<const unsigned char*>(weights),
                                reinterpret_cast<const unsigned char*>(input),
                                reinterpret_cast<unsigned char*>(output), static_cast<int>(M)};
  const int n = static_cast<int>(N);
  const int m = static_cast<int>(M);

  c10::impl::VirtualGuardImpl guard(device.type());
  const c10::Stream stream = guard.getStream(device);
  sycl::queue& queue = xpu::get_queue_from_stream(stream);

  sycl::event event;
  if (K == 4096) {
    const sycl::range<2> global(((n + 15) >> 4) * 64, (m + 127) >> 7);
    const sycl::range<2> local(64, 1);
    event = queue.submit([&](sycl::handler& cgh) {
      cgh.parallel_for<kernel_names::gemmCommonDim4096Fp16V0<T>>(
          sycl::nd_range<2>(global, local), [=](sycl::nd_item<2> item) SYCL_ESIMD_KERNEL {
            gemmCommonDim4096Fp16V0(args.weight, args.input, args.output, args.M, item);
          });
    });
  } else if (K == 11008) {
    const sycl::range<2> global(((n + 3) >> 2) * 11, 4);
    const sycl::range<2> local(11, 4);
    event = queue.submit([&](sycl::handler& cgh) {
      cgh.parallel_for<kernel_names::gemmCommonDim11008Fp16NoReshape<T>>(
          sycl::nd_range<2>(global, local), [=](sycl::nd_item<2> item) SYCL_ESIMD_KERNEL {
            gemmCommonDim11008Fp16NoReshape(args.weight, args.input, args.output, args.M, item);
          });
    });
  } else {
    return;
  }
  xpu::profiler_record("dpcpp_kernel", event);
}

namespace {

constexpr int64_t kMaxKernelRows = 8;
constexpr int64_t kMaxWeightBytes = int64_t{1} << 32;  // the kernels use 32-bit byte offsets
constexpr const char* kArranged4096Msg =
    "weights must be [N/16, 4096, 16] or [N, 4096] with N a multiple of 16";
constexpr const char* kRowMajor11008Msg = "weights must be [N, 11008] with N a multiple of 4";

// With K = 4096 a weight is always pre-arranged in blocks of 16 output features, whether it is
// shaped [N/16, 4096, 16] or [N, 4096].
bool arranged_4096(const at::Tensor& weights) {
  if (weights.dim() == 2) return weights.size(1) == 4096 && weights.size(0) % 16 == 0;
  if (weights.dim() == 3) return weights.size(1) == 4096 && weights.size(2) == 16;
  return false;
}

// PyTorch's linear on the row-major [N, K] form of `weights`, K being the input's feature count.
// A pre-arranged K = 4096 weight is turned back into rows first, so every path computes the same
// product from the same weight.
at::Tensor torch_linear(const at::Tensor& input, const at::Tensor& weights) {
  const int64_t K = input.size(-1);
  if (K == 4096) {
    TORCH_CHECK(arranged_4096(weights), kArranged4096Msg);
    const int64_t N = weights.dim() == 3 ? weights.size(0) * 16 : weights.size(0);
    return at::linear(input, weights.reshape({N / 16, 4096, 16}).transpose(1, 2).reshape({N, K}));
  }
  TORCH_CHECK(weights.dim() == 2 && weights.size(1) == K, "weights must be [N, ", K,
              "] (row-major) for an input with ", K, " features");
  return at::linear(input, weights);
}

// Everything the kernels rely on but do not check: layout and N, 32-bit byte offsets, 4-byte
// aligned start addresses.
void check_kernel_operands(const at::Tensor& input, const at::Tensor& weights, int64_t K) {
  if (K == 4096) {
    TORCH_CHECK(arranged_4096(weights), kArranged4096Msg);
  } else {
    TORCH_CHECK(weights.dim() == 2 && weights.size(1) == 11008 && weights.size(0) % 4 == 0,
                kRowMajor11008Msg);
  }
  TORCH_CHECK(weights.numel() * static_cast<int64_t>(weights.element_size()) < kMaxWeightBytes,
              "weights must be smaller than 4 GiB (the kernels use 32-bit byte offsets)");
  TORCH_CHECK(reinterpret_cast<uintptr_t>(input.data_ptr()) % 4 == 0,
              "input data must start at a 4-byte aligned address");
  TORCH_CHECK(reinterpret_cast<uintptr_t>(weights.data_ptr()) % 4 == 0,
              "weights data must start at a 4-byte aligned address");
}

// The kernel path for a Half input of M <= 8 rows: K = 4096 or 11008 with weights the kernels can
// serve; any other K goes to PyTorch. Returns the output the submitted kernel writes.
template <typename T>
at::Tensor linear_kernel_path(const at::Tensor& input, const at::Tensor& weights, int64_t M,
                              int64_t K, int64_t N) {
  if (K != 4096 && K != 11008) return torch_linear(input, weights);
  const auto options = input.options().device(weights.device());
  if (M == 0) return at::empty({0, N}, options);
  check_kernel_operands(input, weights, K);
  at::Tensor output = at::empty({M, N}, options);  // never zero-filled: the kernel writes it all
  if (N == 0) return output;
  // Copies made for negation bits are freed once the kernel has run (frees wait for launches).
  const at::Tensor x = negation_applied(input), w = negation_applied(weights);
  qlinear_xpu_kernel_fp16<T>(x.data_ptr<T>(), w.data_ptr<T>(), output.data_ptr<T>(), M, K, N,
                             weights.device());
  return output;
}

}  // namespace

// The element types decide the path, whatever the number of rows or dimensions: Float and Double
// go to PyTorch's linear; Half takes the kernels for up to 8 rows of a 2-D input and PyTorch's
// linear otherwise, with weights of the same type; any other element type is refused.
at::Tensor qlinear_forward_xpu(const at::Tensor& input, const at::Tensor& weights, int64_t M,
                               int64_t K, int64_t N) {
  const at::ScalarType type = input.scalar_type();
  if (type == at::kFloat || type == at::kDouble) return torch_linear(input, weights);
  at::Tensor output;
  AT_DISPATCH_SWITCH(type, "qlinear_forward_xpu", AT_DISPATCH_CASE(at::ScalarType::Half, [&] {
                       weights.data_ptr<scalar_t>();  // refuses weights of another type
                       output = input.dim() == 2 && M <= kMaxKernelRows
                                    ? linear_kernel_path<scalar_t>(input, weights, M, K, N)
                                    : torch_linear(input, weights);
                     }));
  return output;
}

// M and K from the input [M, K], N from the weights ([N, K], or [N/16, K, 16] pre-arranged).
// Inputs of more than two dimensions are computed by PyTorch.
at::Tensor linear_xpu_forward(const at::Tensor& input, const at::Tensor& weights) {
  const int64_t M = input.dim() == 2 ? input.size(0) : 0;
  const int64_t K = input.dim() > 2 ? input.size(-1) : input.size(1);
  int64_t N = weights.size(0);
  if (weights.dim() >= 3) N = weights.size(0) * weights.size(2);
  return qlinear_forward_xpu(input, weights, M, K, N);
}
