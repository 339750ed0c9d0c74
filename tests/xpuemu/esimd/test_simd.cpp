// simd / simd_view / simd_mask on the host: rounding of half arithmetic, promotion, conversions,
// view regions, masks and math, each against a scalar reference.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <sycl/ext/intel/esimd.hpp>
#include <type_traits>

using namespace sycl::ext::intel::esimd;
using sycl::half;

namespace {

std::uint16_t h(float f) {
  return _cvtss_sh(f, _MM_FROUND_TO_NEAREST_INT);
}
float f(std::uint16_t bits) {
  return _cvtsh_ss(bits);
}

template <int N>
using Len = std::integral_constant<int, N>;

template <typename L>
class HalfLanes : public ::testing::Test {};
// Whole blocks of 8, tails of 1 to 6 lanes, and both.
using Lengths = ::testing::Types<Len<1>, Len<3>, Len<6>, Len<12>, Len<16>, Len<37>>;
TYPED_TEST_SUITE(HalfLanes, Lengths);

TYPED_TEST(HalfLanes, EachOperationRoundsOnce) {
  constexpr int N = TypeParam::value;
  std::mt19937 rng(N);
  std::uniform_real_distribution<float> dist(0.5f, 4.0f);
  simd<half, N> a, b, c;
  simd<float, N> x;
  for (int i = 0; i < N; ++i) {
    a.data()[i] = h(dist(rng));
    b.data()[i] = h(-dist(rng));
    c.data()[i] = h(dist(rng));
    x.data()[i] = dist(rng);
  }
  const simd<half, N> xh = x;
  const simd<half, N> r = a + b * c;
  const simd<half, N> s = a - b / c;
  const simd<half, N> t = a * 3;
  const simd<half, N> q = half(1.5f) - b * c[0];  // broadcast operands on either side
  const simd<float, N> u = a * 0.1f + c;          // half with float computes in float
  simd<half, N> v = a;
  v += 0.1f;  // one rounding of the float sum
  simd<half, N> w = c;
  w.template select<N, 1>(0) *= b;
  for (int i = 0; i < N; ++i) {
    const float fa = f(a.data()[i]), fb = f(b.data()[i]), fc = f(c.data()[i]);
    EXPECT_EQ(xh.data()[i], h(x[i])) << i;
    EXPECT_EQ(r.data()[i], h(fa + f(h(fb * fc)))) << i;
    EXPECT_EQ(s.data()[i], h(fa - f(h(fb / fc)))) << i;
    EXPECT_EQ(t.data()[i], h(fa * 3.0f)) << i;
    EXPECT_EQ(q.data()[i], h(1.5f - f(h(fb * f(c.data()[0]))))) << i;
    EXPECT_EQ(u[i], fa * 0.1f + fc) << i;
    EXPECT_EQ(v.data()[i], h(fa + 0.1f)) << i;
    EXPECT_EQ(w.data()[i], h(fc * fb)) << i;
  }
}

TEST(Promotion, ResultTypes) {
  using H = simd<half, 8>;
  using F = simd<float, 8>;
  H x;
  static_assert(std::is_same_v<decltype(x + x), H>);
  static_assert(std::is_same_v<decltype(x * 2), H>);
  static_assert(std::is_same_v<decltype(2u * x), H>);
  static_assert(std::is_same_v<decltype(x * 0.5f), F>);
  static_assert(std::is_same_v<decltype(x + F()), F>);
  static_assert(std::is_same_v<decltype(x * 1.0), simd<double, 8>>);
  static_assert(
      std::is_same_v<decltype(simd<std::uint8_t, 8>() + simd<std::uint8_t, 8>()), simd<int, 8>>);
  static_assert(std::is_same_v<decltype(simd<std::uint32_t, 8>() + 1), simd<std::uint32_t, 8>>);
  static_assert(std::is_same_v<decltype(x < x), simd_mask<8>>);
  static_assert(std::is_same_v<decltype(x.select<4, 1>(0) + F().select<4, 2>(0)), simd<float, 4>>);
  static_assert(std::is_same_v<decltype(x.select<4, 1>(0) * x[3]), simd<half, 4>>);
  static_assert(std::is_same_v<decltype(x[0] < x[1]), bool>);
  static_assert(std::is_same_v<decltype(H().select<4, 2>(1)), simd<half, 4>>);
  static_assert(std::is_same_v<decltype(convert<int>(x)), simd<int, 8>>);
  // A 1-element view of a half vector is both a half and a float.
  x = 2.5f;
  const half hv = x[1];
  const float fv = x[2];
  EXPECT_EQ(float(hv) + fv + float(x[3]), 7.5f);
  // Scalar half: half with integers stays half, with float or double widens.
  const half a = 1.5f;
  static_assert(std::is_same_v<decltype(a + a), half>);
  static_assert(std::is_same_v<decltype(a * 2), half>);
  static_assert(std::is_same_v<decltype(3 - a), half>);
  static_assert(std::is_same_v<decltype(a + 1.0f), float>);
  static_assert(std::is_same_v<decltype(2.0 * a), double>);
  EXPECT_EQ(float(a * 2), 3.0f);
  EXPECT_EQ(a + 0x1p-12f, 1.5f + 0x1p-12f);  // float arithmetic, not rounded to half
}

TEST(Convert, RoundingAndTruncation) {
  const float one_and_half_ulp = 1.0f + 3 * 0x1p-11f;
  const simd<float, 8> x(
      {-1.7f, 2.9f, 1.0f + 0x1p-11f, one_and_half_ulp, 70000.0f, -0.0f, 65519.0f, 1e-8f});
  const simd<int, 2> i = convert<int>(x.select<2, 1>(0));
  EXPECT_EQ(i[0], -1);
  EXPECT_EQ(i[1], 2);
  // Ties to even, overflow to infinity, signed zero, largest finite, flush of tiny values.
  const std::uint16_t expected[8] = {h(-1.7f), h(2.9f), 0x3C00, 0x3C02, 0x7C00, 0x8000, 0x7BFF, 0};
  const simd<half, 8> hx = x;
  for (int k = 0; k < 8; ++k) EXPECT_EQ(hx.data()[k], expected[k]) << k;
  const simd<int, 2> back = convert<int>(simd<half, 2>({half(2.5f), half(-3.75f)}));
  EXPECT_EQ(back[0], 2);
  EXPECT_EQ(back[1], -3);
  EXPECT_EQ((simd<half, 3>(simd<int, 3>(2049)).data()[1]), 0x6800);  // 2048
  // A double just above a tie rounds up: one rounding, not two through float.
  EXPECT_EQ((simd<half, 2>(1.0 + 0x1p-11 + 0x1p-30).data()[0]), 0x3C01);
  EXPECT_EQ(half(1.0 + 0x1p-11 + 0x1p-30).bits(), 0x3C01);
}

TEST(View, StridedNestedAnd2DWriteBack) {
  simd<int, 16> v(0, 1);
  int ref[16];
  for (int k = 0; k < 16; ++k) ref[k] = k;
  v.select<4, 2>(1) = simd<int, 4>({-1, -3, -5, -7});
  for (int k = 1; k < 8; k += 2) ref[k] = -k;
  v.select<8, 1>(8).select<2, 3>(1) += 100;
  ref[9] += 100;
  ref[12] += 100;
  v.select<4, 4>(0)[2] = 77;
  ref[8] = 77;
  auto m = v.bit_cast_view<int, 4, 4>();
  m.select<2, 2, 2, 1>(1, 1) = 0;
  ref[5] = ref[6] = ref[13] = ref[14] = 0;
  m.column(3) *= 2;
  for (int r = 0; r < 4; ++r) ref[4 * r + 3] *= 2;
  m.row(2).select<2, 1>(0) = m.row(0).select<2, 2>(0);
  ref[8] = ref[0];
  ref[9] = ref[2];
  for (int k = 0; k < 16; ++k) EXPECT_EQ(v[k], ref[k]) << k;
  // Overlapping copy reads the source first.
  v.select<4, 1>(1) = v.select<4, 1>(0);
  EXPECT_EQ(v[4], ref[3]);
  EXPECT_THROW((v.select<4, 4>(4)), std::out_of_range);
  EXPECT_THROW(m.row(4), std::out_of_range);
}

TEST(View, BitCastOfContiguousAndStridedRegions) {
  simd<half, 8> x(1.0f, 1.0f);  // 1 .. 8
  auto u = x.select<4, 1>(2).bit_cast_view<std::uint32_t>();
  EXPECT_EQ(std::uint32_t(u[0]), h(3.0f) | std::uint32_t(h(4.0f)) << 16);
  u[1] = 0x3C004000u;
  EXPECT_EQ(float(x[4]), 2.0f);
  EXPECT_EQ(float(x[5]), 1.0f);
  // A strided region reinterprets its packed elements.
  simd<std::uint16_t, 8> s(0, 1);
  auto p = s.select<4, 2>(0).bit_cast_view<std::uint32_t>();
  EXPECT_EQ(std::uint32_t(p[0]), 0u | 2u << 16);
  EXPECT_EQ(std::uint32_t(p[1]), 4u | 6u << 16);
  p.select<1, 1>(1) = 0xAAAABBBBu;
  const std::uint16_t after[8] = {0, 1, 2, 3, 0xBBBB, 5, 0xAAAA, 7};
  for (int k = 0; k < 8; ++k) EXPECT_EQ(s[k], after[k]) << k;
  s.select<4, 2>(1).bit_cast_view<std::uint16_t, 2, 2>().row(1) = 9;
  EXPECT_EQ(s[5], 9);
  EXPECT_EQ(s[7], 9);
  EXPECT_EQ(s[3], 3);
  // The kernels' tile form: a block of words written into a half tile.
  simd<half, 256> tile = 0;
  tile.select<128, 1>(128).bit_cast_view<std::uint32_t>() = simd<std::uint32_t, 64>(0x3C003C00u);
  EXPECT_EQ(reduce<float>(tile, std::plus<>()), 128.0f);
}

TEST(Mask, ComparisonsLogicAndMerge) {
  const simd<int, 8> a(0, 1);
  const simd_mask<8> m = a > 4;
  const simd_mask<8> n = (a < 6) && !(a == 2);
  simd<int, 8> b = 100;
  b.merge(a, m);
  simd<int, 8> c;
  c.merge(a, b, m ^ n);
  const int merged[8] = {100, 100, 100, 100, 100, 5, 6, 7};
  const int picked[8] = {0, 1, 100, 3, 4, 5, 6, 7};
  for (int k = 0; k < 8; ++k) {
    EXPECT_EQ(m[k], k > 4) << k;
    EXPECT_EQ(n[k], k < 6 && k != 2) << k;
    EXPECT_EQ(b[k], merged[k]) << k;
    EXPECT_EQ(c[k], picked[k]) << k;
  }
  EXPECT_TRUE(m.any());
  EXPECT_FALSE(m.all());
  EXPECT_TRUE((m.select<3, 1>(5).all()));
  EXPECT_TRUE(bool(simd_mask<1>(1)));
  simd_mask<8> odd = 0;
  odd.select<4, 2>(1) = 1;
  static_assert(std::is_same_v<decltype(odd.select<4, 1>(0).read()), simd_mask<4>>);
  EXPECT_EQ(odd.bit_cast_view<std::uint32_t>()[1], 0x10000u);
  // Any non-zero lane is set; NaN compares false.
  EXPECT_TRUE((simd_mask<2>({2, 1}) == simd_mask<2>(1)).all());
  const simd<half, 2> nan(std::numeric_limits<half>::quiet_NaN());
  EXPECT_FALSE((nan == nan).any());
  EXPECT_TRUE((nan != nan).all());
}

TEST(Replicate, RegionFormula) {
  const simd<int, 8> v(0, 1);
  const simd<int, 4> r = v.replicate_vs_w_hs<2, 3, 2, 2>(1);
  const simd<int, 6> w = v.replicate_w<2, 3>(5);
  const int er[4] = {1, 3, 4, 6}, ew[6] = {5, 6, 7, 5, 6, 7};
  for (int k = 0; k < 4; ++k) EXPECT_EQ(r[k], er[k]);
  for (int k = 0; k < 6; ++k) EXPECT_EQ(w[k], ew[k]);
  EXPECT_EQ(v.replicate<2>()[12], 4);
  EXPECT_THROW((v.replicate_vs_w<2, 4, 2>(3)), std::out_of_range);
}

TEST(Math, MatchesFloatReference) {
  simd<float, 16> x;
  for (int k = 0; k < 16; ++k) x.data()[k] = 0.37f + 1.9f * k;
  const simd<half, 16> hx = x;
  const auto e = exp2(x), i = inv(x), s = sqrt(x), r = rsqrt(x), l = log2(x), ex = exp(x);
  const auto hi = inv(hx), he = exp2(hx.select<16, 1>(0));
  for (int k = 0; k < 16; ++k) {
    const float v = x[k], hv = f(hx.data()[k]);
    EXPECT_EQ(e[k], std::exp2(v));
    EXPECT_EQ(i[k], 1.0f / v);
    EXPECT_EQ(s[k], std::sqrt(v));
    EXPECT_EQ(r[k], 1.0f / std::sqrt(v));
    EXPECT_EQ(l[k], std::log2(v));
    EXPECT_EQ(ex[k], std::exp2(v * 1.442695f));
    EXPECT_EQ(hi.data()[k], h(1.0f / hv));
    EXPECT_EQ(he.data()[k], h(std::exp2(hv)));
  }
  EXPECT_EQ(exp2(0.5f), std::exp2(0.5f));
  EXPECT_EQ(inv(half(4.0f)).bits(), h(0.25f));
  const simd<float, 16> sat = exp2(x - 3.0f, saturation_on);
  for (int k = 0; k < 16; ++k) EXPECT_EQ(sat[k], std::fmin(1.0f, std::exp2(x[k] - 3.0f))) << k;
  // max / min take the non-NaN operand; abs clears the sign.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const simd<float, 4> a({nan, 1.0f, -3.0f, 2.0f}), b({2.0f, nan, -4.0f, 2.5f});
  const simd<float, 4> mx = max(a, b), mn = min(a, b), ab = abs(b);
  const float emx[4] = {2, 1, -3, 2.5f}, emn[4] = {2, 1, -4, 2}, eab[4] = {2, nan, 4, 2.5f};
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(mx[k], emx[k]);
    EXPECT_EQ(mn[k], emn[k]);
    if (k != 1) {
      EXPECT_EQ(ab[k], eab[k]);
    }
  }
  EXPECT_EQ(float(max(simd<half, 2>(-1.0f), half(0.5f))[0]), 0.5f);
  EXPECT_EQ(abs(simd<half, 1>(-2.0f)).data()[0], h(2.0f));
}

TEST(Reduce, PairwiseTreeInElementType) {
  // Halving pairs lanes (i, i + 4): 2048+1 ties to 2048, 1+0 twice, 1+0; then 2048+1 ties again and
  // 1+1: 2050. Adjacent pairs would give 2052 (as would float), a running half sum 2048.
  simd<half, 12> v(1.0f);
  v.select<4, 1>(4) = simd<half, 4>({1.0f, 0.0f, 0.0f, 0.0f});
  v[0] = 2048.0f;
  EXPECT_EQ(reduce<float>(v.select<8, 1>(0), std::plus<>()), 2050.0f);
  // 12 = 8 + 4: both parts reduced, then added.
  EXPECT_EQ(reduce<float>(v, std::plus<>()), 2054.0f);
  EXPECT_EQ(reduce<int>(simd<int, 5>(1, 1), std::multiplies<>()), 120);
  EXPECT_EQ(reduce<int>(simd<std::uint8_t, 64>(200), std::plus<>()), 12800);
  const simd<float, 7> w({3, -1, 9, 2, 9.5f, -7, 0});
  EXPECT_EQ((hmax<float>(w)), 9.5f);
  EXPECT_EQ((hmin<float>(w)), -7.0f);
}

// The limits of half agree with the derived quantities, by the same formulas as for float.
template <typename T>
class Limits : public ::testing::Test {};
using FloatTypes = ::testing::Types<half, float>;
TYPED_TEST_SUITE(Limits, FloatTypes);

TYPED_TEST(Limits, DerivedValuesAgree) {
  using L = std::numeric_limits<TypeParam>;
  const double log10_2 = std::log10(2.0);
  static_assert(L::radix == 2 && L::is_iec559 && L::is_bounded &&
                L::has_denorm == std::denorm_present && L::round_style == std::round_to_nearest);
  EXPECT_EQ(L::digits10, int((L::digits - 1) * log10_2));
  EXPECT_EQ(L::max_digits10, int(std::ceil(1 + L::digits * log10_2)));
  EXPECT_EQ(L::min_exponent10, int(std::ceil(std::log10(double(L::min())))));
  EXPECT_EQ(L::max_exponent10, int(std::floor(std::log10(double(L::max())))));
  EXPECT_EQ(double(L::round_error()), 0.5);
  EXPECT_EQ(double(L::denorm_min()), std::ldexp(1.0, L::min_exponent - L::digits));
  EXPECT_TRUE(std::isnan(double(L::signaling_NaN())));
}

}  // namespace
