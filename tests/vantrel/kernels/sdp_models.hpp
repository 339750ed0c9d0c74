// Host models of the attention kernels' order of operations. sycl::half rounds every add and
// multiply to binary16 on its own, as the device does, so the models agree with the kernels bit
// for bit.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <sycl/sycl.hpp>
#include <vector>

namespace sdp_models {

// The score scale the kernels use for head size D (its bits matter), 0 for an unknown D: the float
// nearest log2(e) / 8 for 64, the kernels' constant for 128.
constexpr float score_scale(std::size_t D) {
  return D == 64 ? 0.18033688f : D == 128 ? 0.1275042f : 0.0f;
}

// 2^(scale * q.k) for rows of D: the dot product in T over D / 16 16-lane chunks, lanes folded by
// halving.
template <typename T>
float key_weight(const T* q, const T* k, std::size_t D) {
  T lanes[16];
  for (T& x : lanes) x = T(0.0f);
  for (std::size_t i = 0; i < D / 16; ++i)
    for (int l = 0; l < 16; ++l) lanes[l] = lanes[l] + q[16 * i + l] * k[16 * i + l];
  for (int w = 8; w >= 1; w /= 2)
    for (int l = 0; l < w; ++l) lanes[l] = lanes[l] + lanes[l + w];
  return std::exp2(float(lanes[0]) * score_scale(D));
}

// How a kernel groups keys: the keys padded with zero keys (weight 0, values 0) to a multiple of
// `pad`, weight sums kept in `lanes` lanes (key t in lane t mod lanes).
struct key_order {
  std::size_t pad;
  std::size_t lanes;
};
constexpr key_order kKeys128{8, 8};
constexpr key_order kKeyBlocks64{64, 16};

// Attention of q [B, H, D] against k, v [B, H_kv, kv_len, D] (rows of D at row_stride0 * b +
// row_stride1 * g + t, in rows), query head h reading key/value head h / (H / H_kv); the output
// [B, H * D] in T.
template <typename T>
std::vector<T> attend(const std::vector<T>& q, const std::vector<T>& k, const std::vector<T>& v,
                      std::size_t B, std::size_t H, std::size_t H_kv, std::size_t kv_len,
                      std::size_t D, std::size_t row_stride0, std::size_t row_stride1,
                      key_order order) {
  const std::size_t G = H / H_kv;
  const std::size_t padded = (kv_len + order.pad - 1) / order.pad * order.pad;
  std::vector<T> out(B * H * D);
  for (std::size_t b = 0; b < B; ++b) {
    for (std::size_t h = 0; h < H; ++h) {
      const T* qRow = &q[(b * H + h) * D];
      const std::size_t kvRow0 = b * row_stride0 + (h / G) * row_stride1;
      std::vector<float> acc(D);
      float wsum[16] = {};
      for (std::size_t t = 0; t < padded; ++t) {
        const bool key = t < kv_len;
        const float w = key ? key_weight(qRow, &k[(kvRow0 + t) * D], D) : 0.0f;
        for (std::size_t i = 0; i < D; ++i)
          acc[i] = acc[i] + (key ? float(v[(kvRow0 + t) * D + i]) : 0.0f) * w;
        wsum[t % order.lanes] = wsum[t % order.lanes] + w;
      }
      for (std::size_t w = order.lanes / 2; w >= 1; w /= 2)
        for (std::size_t l = 0; l < w; ++l) wsum[l] = wsum[l] + wsum[l + w];
      const float r = 1.0f / wsum[0];
      for (std::size_t i = 0; i < D; ++i) out[(b * H + h) * D + i] = T(acc[i] * r);
    }
  }
  return out;
}

}  // namespace sdp_models
