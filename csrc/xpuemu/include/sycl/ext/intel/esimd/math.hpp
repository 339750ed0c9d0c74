// ESIMD math: extended math (exp2, inv, sqrt, rsqrt, log2, exp), max / min / abs and horizontal
// reductions. Functions compute in float; half results are rounded once.
#pragma once

#include <cmath>
#include <functional>

#include "sycl/ext/intel/esimd/simd.hpp"

namespace sycl {
inline namespace _V1 {
namespace ext::intel::esimd {

namespace detail {

template <typename Sat>
inline constexpr bool saturate_v = std::is_same_v<Sat, saturation_on_tag>;

// Clamp to [0, 1] (NaN gives 0).
XPUEMU_SIMD_INLINE float sat01(float x) {
  return !(x > 0.0f) ? 0.0f : (x > 1.0f ? 1.0f : x);
}

// r[i] = f(x[i]) computed in float (double for double elements), saturated when Sat says so.
template <bool Sat, typename T, int N, typename F>
XPUEMU_SIMD_INLINE simd<T, N> map_fp(const simd<T, N>& x, F f) {
  simd<T, N> r(uninit);
  if constexpr (is_half_v<T>) {
    float t[N];
    half_to_float<N>(x.data(), t);
    for (int i = 0; i < N; ++i) t[i] = Sat ? sat01(f(t[i])) : f(t[i]);
    float_to_half<N>(t, r.data());
  } else {
    for (int i = 0; i < N; ++i) {
      const T v = f(x.data()[i]);
      r.data()[i] = Sat ? static_cast<T>(v != v || v < 0 ? 0 : (v > 1 ? 1 : v)) : v;
    }
  }
  return r;
}

template <typename T, int N, typename Sat>
XPUEMU_SIMD_INLINE simd<T, N> saturate_if(const simd<T, N>& v) {
  if constexpr (saturate_v<Sat> && (is_float_or_half_v<T> || std::is_floating_point_v<T>))
    return map_fp<true>(v, [](auto x) { return x; });
  else
    return v;
}

template <typename T>
inline constexpr bool is_fp_v = is_float_or_half_v<T> || std::is_same_v<T, double>;

// Pairwise reduction: halve while the length is a power of two, otherwise split off the largest
// power of two and combine the two partial results.
template <typename Op, typename CT, int N>
XPUEMU_SIMD_INLINE CT reduce_tree(const simd<CT, N>& v) {
  if constexpr (N == 1) {
    return from_raw<CT>(v.data()[0]);
  } else if constexpr ((N & (N - 1)) == 0) {
    return reduce_tree<Op>(lanewise<Op, CT, N / 2>(v.template select<N / 2, 1>(0),
                                                   v.template select<N / 2, 1>(N / 2)));
  } else {
    constexpr int P = static_cast<int>(pow2_ceil(N) / 2);
    const CT lo = reduce_tree<Op>(v.template select<P, 1>(0));
    const CT hi = reduce_tree<Op>(v.template select<N - P, 1>(P));
    return from_raw<CT>(lanewise<Op, CT, 1>(simd<CT, 1>(lo), simd<CT, 1>(hi)).data()[0]);
  }
}

}  // namespace detail

// ---- extended math
// ---------------------------------------------------------------------------------

// NAME(simd), NAME(view) and NAME(scalar); EXPR computes one lane from the float (or double) x.
#define XPUEMU_ESIMD_MATH(NAME, EXPR, TYPE_OK)                                                   \
  template <typename T, int N, typename Sat = saturation_off_tag,                                \
            typename = std::enable_if_t<TYPE_OK>>                                                \
  XPUEMU_SIMD_INLINE simd<T, N> NAME(const simd<T, N>& src, Sat = {}) {                          \
    return detail::map_fp<detail::saturate_v<Sat>>(src, [](auto x) { return EXPR; });            \
  }                                                                                              \
  template <typename B, typename R, typename Sat = saturation_off_tag>                           \
  XPUEMU_SIMD_INLINE auto NAME(const simd_view<B, R>& src, Sat sat = {}) {                       \
    return NAME(src.read(), sat);                                                                \
  }                                                                                              \
  template <typename T, typename Sat = saturation_off_tag, typename = std::enable_if_t<TYPE_OK>> \
  XPUEMU_SIMD_INLINE T NAME(T src, Sat = {}) {                                                   \
    return detail::from_raw<T>(NAME(simd<T, 1>(src), Sat{}).data()[0]);                          \
  }

XPUEMU_ESIMD_MATH(inv, decltype(x)(1) / x, detail::is_float_or_half_v<T>)
XPUEMU_ESIMD_MATH(exp2, std::exp2(x), detail::is_float_or_half_v<T>)
XPUEMU_ESIMD_MATH(log2, std::log2(x), detail::is_float_or_half_v<T>)
XPUEMU_ESIMD_MATH(exp, std::exp2(x * 1.442695f), detail::is_float_or_half_v<T>)
XPUEMU_ESIMD_MATH(sqrt, std::sqrt(x), detail::is_fp_v<T>)
XPUEMU_ESIMD_MATH(rsqrt, decltype(x)(1) / std::sqrt(x), detail::is_float_or_half_v<T>)
XPUEMU_ESIMD_MATH(sqrt_ieee, std::sqrt(x), (std::is_floating_point_v<T>))
#undef XPUEMU_ESIMD_MATH

// IEEE division of float / double vectors.
template <typename T, int N, typename Sat = saturation_off_tag>
XPUEMU_SIMD_INLINE simd<T, N> div_ieee(const simd<T, N>& a, const simd<T, N>& b, Sat = {}) {
  static_assert(std::is_floating_point_v<T>, "div_ieee needs float or double elements");
  return detail::saturate_if<T, N, Sat>(detail::lanewise<detail::op_div, T, N>(a, b));
}

// ---- max / min / abs
// --------------------------------------------------------------------------------

// Lane-wise maximum / minimum; a NaN operand yields the other operand.
#define XPUEMU_ESIMD_MINMAX(NAME, OP)                                                      \
  template <typename T, int N, typename Sat = saturation_off_tag>                          \
  XPUEMU_SIMD_INLINE simd<T, N> NAME(const simd<T, N>& a, const simd<T, N>& b, Sat = {}) { \
    return detail::saturate_if<T, N, Sat>(detail::lanewise<detail::OP, T, N>(a, b));       \
  }                                                                                        \
  template <typename T, int N, typename Sat = saturation_off_tag>                          \
  XPUEMU_SIMD_INLINE simd<T, N> NAME(const simd<T, N>& a, detail::type_identity_t<T> b,    \
                                     Sat = {}) {                                           \
    return NAME(a, simd<T, N>(b), Sat{});                                                  \
  }                                                                                        \
  template <typename T, int N, typename Sat = saturation_off_tag>                          \
  XPUEMU_SIMD_INLINE simd<T, N> NAME(detail::type_identity_t<T> a, const simd<T, N>& b,    \
                                     Sat = {}) {                                           \
    return NAME(simd<T, N>(a), b, Sat{});                                                  \
  }                                                                                        \
  template <typename T, typename Sat = saturation_off_tag,                                 \
            typename = std::enable_if_t<detail::is_vectorizable_v<T>>>                     \
  XPUEMU_SIMD_INLINE T NAME(T a, T b, Sat = {}) {                                          \
    return detail::from_raw<T>(NAME(simd<T, 1>(a), simd<T, 1>(b), Sat{}).data()[0]);       \
  }
XPUEMU_ESIMD_MINMAX(max, op_max)
XPUEMU_ESIMD_MINMAX(min, op_min)
#undef XPUEMU_ESIMD_MINMAX

// Views as operands of max / min: read first.
#define XPUEMU_ESIMD_MINMAX_VIEW(NAME)                                             \
  template <typename B, typename R, typename X, typename Sat = saturation_off_tag> \
  XPUEMU_SIMD_INLINE auto NAME(const simd_view<B, R>& a, const X& b, Sat = {}) {   \
    if constexpr (detail::is_simd_view_v<X>)                                       \
      return NAME(a.read(), b.read(), Sat{});                                      \
    else                                                                           \
      return NAME(a.read(), b, Sat{});                                             \
  }                                                                                \
  template <typename X, typename B, typename R, typename Sat = saturation_off_tag, \
            typename = std::enable_if_t<!detail::is_simd_view_v<X>>>               \
  XPUEMU_SIMD_INLINE auto NAME(const X& a, const simd_view<B, R>& b, Sat = {}) {   \
    return NAME(a, b.read(), Sat{});                                               \
  }
XPUEMU_ESIMD_MINMAX_VIEW(max)
XPUEMU_ESIMD_MINMAX_VIEW(min)
#undef XPUEMU_ESIMD_MINMAX_VIEW

template <typename T, int N>
XPUEMU_SIMD_INLINE simd<T, N> abs(const simd<T, N>& src) {
  simd<T, N> r(detail::uninit);
  for (int i = 0; i < N; ++i) {
    const auto v = src.data()[i];
    if constexpr (detail::is_half_v<T>)
      r.data()[i] = static_cast<std::uint16_t>(v & 0x7FFFu);
    else if constexpr (std::is_floating_point_v<T>)
      r.data()[i] = std::fabs(v);
    else if constexpr (std::is_signed_v<T>)
      r.data()[i] = static_cast<T>(v < 0 ? -v : v);
    else
      r.data()[i] = v;
  }
  return r;
}
template <typename B, typename R>
XPUEMU_SIMD_INLINE auto abs(const simd_view<B, R>& src) {
  return abs(src.read());
}
template <typename T, typename = std::enable_if_t<detail::is_vectorizable_v<T>>>
XPUEMU_SIMD_INLINE T abs(T src) {
  return detail::from_raw<T>(abs(simd<T, 1>(src)).data()[0]);
}

// ---- horizontal reductions
// -------------------------------------------------------------------------

// Sum or product of the elements, accumulated pairwise in the computation type of T1 (half stays
// half, small integers become int), converted to T0.
template <typename T0, typename T1, int SZ, typename BinaryOperation>
XPUEMU_SIMD_INLINE T0 reduce(const simd<T1, SZ>& v, BinaryOperation) {
  constexpr bool kPlus = std::is_same_v<BinaryOperation, std::plus<>>;
  static_assert(kPlus || std::is_same_v<BinaryOperation, std::multiplies<>>,
                "reduce supports std::plus<>() and std::multiplies<>() only");
  using CT = detail::computation_type_t<T1, T1>;
  using Op = std::conditional_t<kPlus, detail::op_add, detail::op_mul>;
  return detail::convert_scalar<T0>(detail::reduce_tree<Op>(simd<CT, SZ>(v)));
}

template <typename T0, typename B, typename R, typename BinaryOperation>
XPUEMU_SIMD_INLINE T0 reduce(const simd_view<B, R>& v, BinaryOperation op) {
  return reduce<T0>(v.read(), op);
}

template <typename T0, typename T1, int SZ>
XPUEMU_SIMD_INLINE T0 hmax(const simd<T1, SZ>& v) {
  return detail::convert_scalar<T0>(detail::reduce_tree<detail::op_max>(v));
}
template <typename T0, typename T1, int SZ>
XPUEMU_SIMD_INLINE T0 hmin(const simd<T1, SZ>& v) {
  return detail::convert_scalar<T0>(detail::reduce_tree<detail::op_min>(v));
}
template <typename T0, typename B, typename R>
XPUEMU_SIMD_INLINE T0 hmax(const simd_view<B, R>& v) {
  return hmax<T0>(v.read());
}
template <typename T0, typename B, typename R>
XPUEMU_SIMD_INLINE T0 hmin(const simd_view<B, R>& v) {
  return hmin<T0>(v.read());
}

}  // namespace ext::intel::esimd
}  // namespace _V1
}  // namespace sycl
