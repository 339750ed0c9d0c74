// The decoder's layer loop: vantrel's operators in a step's order (see decoder.h).
#include "vantrel/ops/decoder.h"

#include <ATen/record_function.h>
#include <c10/util/Exception.h>

#include <cmath>
#include <limits>

#include "vantrel/ops/ops.h"

namespace vantrel::ops {
namespace {

// Attention of the queries q (half [B, H, C, D], positions start .. start + C - 1) over the
// cached positions 0 .. start + C - 1, in float32: scores scaled by 1 / sqrt(D), a causal mask
// for C > 1, softmax, the values. Returns half [B * C, H * D].
at::Tensor reference_attention(const at::Tensor& q, const at::Tensor& k_cache,
                               const at::Tensor& v_cache, int64_t start) {
  const int64_t B = q.size(0), H = q.size(1), C = q.size(2), D = q.size(3);
  const int64_t kv_heads = k_cache.size(1), g = H / kv_heads, n = start + C;
  const at::Tensor qg = q.to(at::kFloat).reshape({B, kv_heads, g * C, D});
  at::Tensor scores = at::matmul(qg, k_cache.narrow(2, 0, n).to(at::kFloat).transpose(2, 3)) /
                      std::sqrt(static_cast<double>(D));
  if (C > 1) {  // query i (at position start + i) sees positions up to start + i
    const at::Tensor seen = at::arange(n).unsqueeze(0) <= at::arange(start, n).unsqueeze(1);
    const at::Tensor mask =
        at::zeros({C, n}).masked_fill_(seen.logical_not(), -std::numeric_limits<float>::infinity());
    scores =
        (scores.view({B, kv_heads, g, C, n}) + mask.to(q.device())).view({B, kv_heads, g * C, n});
  }
  const at::Tensor out =
      at::matmul(at::softmax(scores, -1), v_cache.narrow(2, 0, n).to(at::kFloat));
  return out.view({B, H, C, D}).transpose(1, 2).reshape({B * C, H * D}).to(at::kHalf);
}

}  // namespace

at::Tensor project(const Projection& p, const at::Tensor& x) {
  at::Tensor y;
  if (p.bits == 16) {
    y = linear_forward(x, p.weight);
  } else {
    const at::Tensor input = p.order.defined() ? x.index_select(1, p.order) : x;
    y = linear_quantized_forward(input, p.weight, p.scales, p.zeros, p.bits, p.group_size);
  }
  return y.size(1) == p.out_features ? y : y.narrow(1, 0, p.out_features);
}

at::Tensor decoder_layers(const std::vector<DecoderLayer>& layers, const at::Tensor& final_norm,
                          const DecoderShape& shape, const at::Tensor& h,
                          const std::vector<at::Tensor>& k_caches,
                          const std::vector<at::Tensor>& v_caches, const at::Tensor& cos,
                          const at::Tensor& sin, int64_t start, int64_t batch,
                          bool kernel_attention, const PartialSum& partial_sum,
                          HostTime* host_time) {
  TORCH_CHECK(k_caches.size() >= layers.size() && v_caches.size() >= layers.size(),
              "k_caches and v_caches must hold one cache per layer (", layers.size(), "), got ",
              k_caches.size(), " and ", v_caches.size());
  TORCH_CHECK(h.dim() == 2 && batch > 0 && h.size(0) % batch == 0,
              "h must be [batch * positions, hidden], got ", h.sizes(), " for batch ", batch);
  // The operators take B from the caches: a batch they disagree with would be read as other
  // sequences and positions.
  for (size_t i = 0; i < layers.size(); ++i)
    TORCH_CHECK(k_caches[i].dim() == 4 && k_caches[i].size(0) == batch, "k_caches[", i,
                "] must be [batch = ", batch, ", kv_heads, L, D], got ", k_caches[i].sizes());
  TORCH_CHECK(!kernel_attention || h.size(0) == batch,
              "kernel_attention needs one position per sequence: h must have batch = ", batch,
              " rows, got ", h.size(0));
  RECORD_FUNCTION("ferrow_decoder_layers", std::vector<c10::IValue>({h}));
  const int64_t rows = h.size(0), width = shape.heads * shape.head_dim;
  const auto summed = [&](const at::Tensor& t) { return partial_sum ? partial_sum(t) : t; };
  // call(), its host time charged to `kind` when host_time is given.
  const auto timed = [host_time](uint64_t HostTime::*kind, const auto& call) -> at::Tensor {
    if (!host_time) return call();
    const uint64_t before = host_time->now();
    at::Tensor out = call();
    host_time->*kind += host_time->now() - before;
    return out;
  };
  const auto projected = [&](const Projection& p, const at::Tensor& x) {
    return timed(&HostTime::projections, [&] { return project(p, x); });
  };
  c10::optional<at::Tensor> delta;  // the previous layer's down output, added by the next norm
  for (size_t i = 0; i < layers.size(); ++i) {
    const DecoderLayer& layer = layers[i];
    at::Tensor x = add_rms_norm(h, delta, layer.attn_norm, shape.eps);
    const at::Tensor qkv = projected(layer.qkv, x);
    const at::Tensor q =
        rotary_cache(qkv, cos, sin, k_caches[i], v_caches[i], start, shape.heads, shape.kv_heads);
    const at::Tensor attention = timed(&HostTime::attention, [&] {
      return kernel_attention ? sdp_forward(q, k_caches[i].narrow(2, 0, start + 1),
                                            v_caches[i].narrow(2, 0, start + 1))
                                    .view({rows, width})
                              : reference_attention(q, k_caches[i], v_caches[i], start);
    });
    x = add_rms_norm(h, summed(projected(layer.o, attention)), layer.mlp_norm, shape.eps);
    const at::Tensor gate_up = projected(layer.gate_up, x);
    delta = summed(projected(layer.down, silu_mul(gate_up, shape.intermediate)));
  }
  return add_rms_norm(h, delta, final_norm, shape.eps);
}

}  // namespace vantrel::ops
