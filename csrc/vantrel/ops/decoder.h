// The layers of a LLaMA-family decoder as one C++ loop over vantrel's operators: nine device
// operations per layer (add + norm, q/k/v, rotary + cache writes, attention, o, add + norm,
// gate/up, SiLU · up, down), issued without returning to Python between them.
#pragma once

#include <ATen/ATen.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace vantrel::ops {

// One linear layer's weights as the engine keeps them: half weights in the layout of their
// width, or packed codes with their scales and zeros.
struct Projection {
  at::Tensor weight;                // half weights, or uint8 codes when bits < 16
  at::Tensor scales;                // packed: half per output and group; undefined for half
  c10::optional<at::Tensor> zeros;  // packed: int16 like scales; none: 2^(bits - 1)
  at::Tensor order;                 // long [K]: the input order packed groups follow, or undefined
  int64_t bits = 16;                // 16 (half), 8 or 4
  int64_t group_size = 0;           // inputs per scale and zero (packed)
  int64_t out_features = 0;         // outputs before the rows' padding
};

// One layer: its two norm weights (float32 [hidden]) and four projections.
struct DecoderLayer {
  at::Tensor attn_norm, mlp_norm;
  Projection qkv, o, gate_up, down;
};

// The sizes the loop needs.
struct DecoderShape {
  int64_t heads = 0;         // query heads
  int64_t kv_heads = 0;      // key/value heads
  int64_t head_dim = 0;      // features per head
  int64_t intermediate = 0;  // the MLP's width
  double eps = 0;            // RMSNorm's epsilon
};

// Sums a row-parallel projection's partial output over the ranks of a tensor-parallel group
// (empty: one device).
using PartialSum = std::function<at::Tensor(const at::Tensor&)>;

// Host time charged to the projections and the attention, as the engine's Python loop charges
// its calls: `now` reads a clock (the emulated device's time in PyTorch operations, which it runs
// on the host), and what passes inside each projection or attention call is added to its kind.
struct HostTime {
  std::function<uint64_t()> now;
  uint64_t projections = 0;  // nanoseconds
  uint64_t attention = 0;
};

// Runs C new positions of B sequences through the layers: h (float32 [B * C, hidden], rows
// b * C + c, the residual stream after the embedding) is updated in place; keys and values are
// written into rows start .. start + C - 1 of k_caches[i], v_caches[i] (half [B, H_kv, L, D]);
// cos and sin are the rotary tables (float32 [P, D]). Attention runs on its kernel when
// `kernel_attention` (C = 1), through ATen operations in float32 otherwise. Returns the final
// norm's output, half [B * C, hidden]. `host_time`, when given, is charged as its comment says.
at::Tensor decoder_layers(const std::vector<DecoderLayer>& layers, const at::Tensor& final_norm,
                          const DecoderShape& shape, const at::Tensor& h,
                          const std::vector<at::Tensor>& k_caches,
                          const std::vector<at::Tensor>& v_caches, const at::Tensor& cos,
                          const at::Tensor& sin, int64_t start, int64_t batch,
                          bool kernel_attention, const PartialSum& partial_sum,
                          HostTime* host_time = nullptr);

// The projection of x [M, K] half: its kernel (or PyTorch's path), outputs past out_features cut.
at::Tensor project(const Projection& p, const at::Tensor& x);

}  // namespace vantrel::ops
