// The ESIMD vector types: simd<T, N>, simd_mask<N> and simd_view (windows onto them), with the
// element-wise operators and their promotion rules.
//
// Storage is N raw elements (half as its bits). A view is a compile-time region (shape, byte
// strides) plus a runtime byte offset into its source: the storage of the base object, or, when a
// bit_cast of a strided region makes flattening impossible, the packed value of a parent view
// (read: gather the parent's value; write: read-modify-write the parent).
#pragma once

#include "sycl/ext/intel/esimd/common.hpp"

namespace sycl {
inline namespace _V1 {
namespace ext::intel::esimd {

template <int N>
using simd_mask = detail::simd_mask_impl<unsigned short, N>;

namespace detail {

// ---- regions
// ---------------------------------------------------------------------------------------

// SY rows of SX elements of E; element (r, c) lies r * RS + c * CS bytes after the region start.
template <typename E, bool Is2D, int SY, int SX, int RS, int CS>
struct region {
  using element_type = E;
  static constexpr bool is_2d = Is2D;
  static constexpr int rows = SY;
  static constexpr int cols = SX;
  static constexpr int length = SY * SX;
  static constexpr int row_stride = RS;
  static constexpr int col_stride = CS;
  static constexpr int elem_bytes = static_cast<int>(sizeof(E));
  static constexpr bool rows_packed = CS == elem_bytes || SX == 1;
  // Half data is written in 16-byte blocks, wider elements in 32-byte ones.
  static constexpr std::size_t copy_chunk = sizeof(E) >= 4 ? 32 : 16;
  static constexpr bool contiguous =
      length == 1 || (rows_packed && (SY == 1 || RS == SX * elem_bytes));
};

// Packs the region starting at src into dst.
template <typename R>
XPUEMU_SIMD_INLINE void region_read(const unsigned char* src, void* dst) {
  constexpr int kE = R::elem_bytes;
  auto* d = static_cast<unsigned char*>(dst);
  if constexpr (R::contiguous) {
    copy_bytes<R::length * kE, R::copy_chunk>(d, src);
  } else if constexpr (R::rows_packed) {
    for (int r = 0; r < R::rows; ++r)
      copy_bytes<R::cols * kE, R::copy_chunk>(d + r * R::cols * kE, src + r * R::row_stride);
  } else {
    for (int r = 0; r < R::rows; ++r)
      for (int c = 0; c < R::cols; ++c)
        std::memcpy(d + (r * R::cols + c) * kE, src + r * R::row_stride + c * R::col_stride, kE);
  }
}

// Scatters the packed value src into the region starting at dst.
template <typename R>
XPUEMU_SIMD_INLINE void region_write(unsigned char* dst, const void* src) {
  constexpr int kE = R::elem_bytes;
  const auto* s = static_cast<const unsigned char*>(src);
  if constexpr (R::contiguous) {
    copy_bytes<R::length * kE, R::copy_chunk>(dst, s);
  } else if constexpr (R::rows_packed) {
    for (int r = 0; r < R::rows; ++r)
      copy_bytes<R::cols * kE, R::copy_chunk>(dst + r * R::row_stride, s + r * R::cols * kE);
  } else {
    for (int r = 0; r < R::rows; ++r)
      for (int c = 0; c < R::cols; ++c)
        std::memcpy(dst + r * R::row_stride + c * R::col_stride, s + (r * R::cols + c) * kE, kE);
  }
}

// ---- type traits
// -----------------------------------------------------------------------------------

template <typename T>
struct is_simd_view : std::false_type {};
template <typename B, typename R>
struct is_simd_view<simd_view<B, R>> : std::true_type {};
template <typename T>
inline constexpr bool is_simd_view_v = is_simd_view<std::remove_cv_t<T>>::value;

template <typename T>
struct is_simd_mask : std::false_type {};
template <typename T, int N>
struct is_simd_mask<simd_mask_impl<T, N>> : std::true_type {};
template <typename T>
inline constexpr bool is_simd_mask_v = is_simd_mask<std::remove_cv_t<T>>::value;

// Whether the object at the bottom of a view chain is a mask.
template <typename B>
constexpr bool root_is_mask() {
  if constexpr (is_simd_view_v<B>)
    return B::root_is_mask;
  else
    return is_simd_mask_v<B>;
}

template <typename D, int M>
struct resize;
template <typename T, int N, int M>
struct resize<simd<T, N>, M> {
  using type = simd<T, M>;
};
template <typename T, int N, int M>
struct resize<simd_mask_impl<T, N>, M> {
  using type = simd_mask_impl<T, M>;
};
template <typename D, int M>
using resize_t = typename resize<D, M>::type;

// Operands of the element-wise operators: simd objects, views with a non-mask value, scalars.
template <typename X>
struct operand {
  static constexpr bool simd_like = false;
  static constexpr bool scalar = is_vectorizable_v<X>;
  static constexpr int length = 0;
  using element_type = X;
};
template <typename T, int N>
struct operand<simd<T, N>> {
  static constexpr bool simd_like = true;
  static constexpr bool scalar = false;
  static constexpr int length = N;
  using element_type = T;
};
template <typename B, typename R>
struct operand<simd_view<B, R>> {
  static constexpr bool simd_like = !simd_view<B, R>::value_is_mask;
  static constexpr bool scalar = false;
  static constexpr int length = R::length;
  using element_type = typename R::element_type;
};

template <typename A, typename B>
inline constexpr bool binop_ok_v = (operand<A>::simd_like &&
                                    (operand<B>::simd_like || operand<B>::scalar)) ||
                                   (operand<A>::scalar && operand<B>::simd_like);
template <typename X>
inline constexpr bool operand_ok_v = operand<X>::simd_like || operand<X>::scalar;

// Length of an element-wise result: equal lengths, or a scalar / 1-element operand broadcast to
// the other one. -1 when the lengths do not combine.
template <typename A, typename B>
constexpr int result_length() {
  constexpr int la = operand<A>::length;
  constexpr int lb = operand<B>::length;
  if constexpr (la == 0 || la == 1) {
    return lb == 0 ? la : lb;
  } else if constexpr (lb == 0 || lb == 1 || lb == la) {
    return la;
  } else {
    return -1;
  }
}

template <typename A, typename B>
using result_element_t =
    computation_type_t<typename operand<A>::element_type, typename operand<B>::element_type>;

// x as simd<R, N>: converted, or broadcast from a scalar or a 1-element operand.
template <typename R, int N, typename X>
XPUEMU_SIMD_INLINE simd<R, N> to_operand(const X& x) {
  if constexpr (!operand<X>::simd_like) {
    return simd<R, N>(x);
  } else if constexpr (is_simd_view_v<X>) {
    return to_operand<R, N>(x.read());
  } else if constexpr (operand<X>::length == N) {
    return simd<R, N>(x);
  } else {
    static_assert(operand<X>::length == 1, "simd operand lengths do not match");
    return simd<R, N>(x[0]);
  }
}

// x itself when it already is a simd<R, N> (no copy), otherwise to_operand<R, N>(x).
template <typename R, int N, typename X>
XPUEMU_SIMD_INLINE decltype(auto) as_operand(const X& x) {
  if constexpr (std::is_same_v<X, simd<R, N>>)
    return (x);
  else
    return to_operand<R, N>(x);
}

// ---- element-wise operations
// -----------------------------------------------------------------------

// Each operation: `apply` on raw standard elements, `vec` on 8 float lanes (half arithmetic).
struct op_add {
  static constexpr bool integral_only = false;
  template <typename T>
  static T apply(T a, T b) {
    return static_cast<T>(a + b);
  }
  static __m256 vec(__m256 a, __m256 b) { return _mm256_add_ps(a, b); }
};
struct op_sub {
  static constexpr bool integral_only = false;
  template <typename T>
  static T apply(T a, T b) {
    return static_cast<T>(a - b);
  }
  static __m256 vec(__m256 a, __m256 b) { return _mm256_sub_ps(a, b); }
};
struct op_mul {
  static constexpr bool integral_only = false;
  template <typename T>
  static T apply(T a, T b) {
    return static_cast<T>(a * b);
  }
  static __m256 vec(__m256 a, __m256 b) { return _mm256_mul_ps(a, b); }
};
struct op_div {
  static constexpr bool integral_only = false;
  template <typename T>
  static T apply(T a, T b) {
    return static_cast<T>(a / b);
  }
  static __m256 vec(__m256 a, __m256 b) { return _mm256_div_ps(a, b); }
};
// max / min return the other operand when one is NaN.
struct op_max {
  static constexpr bool integral_only = false;
  template <typename T>
  static T apply(T a, T b) {
    return b != b ? a : (a >= b ? a : b);
  }
  static __m256 vec(__m256 a, __m256 b) {
    return _mm256_blendv_ps(_mm256_max_ps(a, b), a, _mm256_cmp_ps(b, b, _CMP_UNORD_Q));
  }
};
struct op_min {
  static constexpr bool integral_only = false;
  template <typename T>
  static T apply(T a, T b) {
    return b != b ? a : (a <= b ? a : b);
  }
  static __m256 vec(__m256 a, __m256 b) {
    return _mm256_blendv_ps(_mm256_min_ps(a, b), a, _mm256_cmp_ps(b, b, _CMP_UNORD_Q));
  }
};
#define XPUEMU_SIMD_INTEGRAL_OP(NAME, OP)       \
  struct NAME {                                 \
    static constexpr bool integral_only = true; \
    template <typename T>                       \
    static T apply(T a, T b) {                  \
      return static_cast<T>(a OP b);            \
    }                                           \
  };
XPUEMU_SIMD_INTEGRAL_OP(op_rem, %)
XPUEMU_SIMD_INTEGRAL_OP(op_shl, <<)
XPUEMU_SIMD_INTEGRAL_OP(op_shr, >>)
XPUEMU_SIMD_INTEGRAL_OP(op_and, &)
XPUEMU_SIMD_INTEGRAL_OP(op_or, |)
XPUEMU_SIMD_INTEGRAL_OP(op_xor, ^)
#undef XPUEMU_SIMD_INTEGRAL_OP

#define XPUEMU_SIMD_COMPARE_OP(NAME, OP) \
  struct NAME {                          \
    template <typename T>                \
    static auto apply(T a, T b) {        \
      return a OP b;                     \
    }                                    \
  };
XPUEMU_SIMD_COMPARE_OP(cmp_lt, <)
XPUEMU_SIMD_COMPARE_OP(cmp_le, <=)
XPUEMU_SIMD_COMPARE_OP(cmp_gt, >)
XPUEMU_SIMD_COMPARE_OP(cmp_ge, >=)
XPUEMU_SIMD_COMPARE_OP(cmp_eq, ==)
XPUEMU_SIMD_COMPARE_OP(cmp_ne, !=)
#undef XPUEMU_SIMD_COMPARE_OP

// r[i] = x[i] op y[i]; half lanes compute in float and round once.
template <typename Op, typename R, int N>
XPUEMU_SIMD_INLINE simd<R, N> lanewise(const simd<R, N>& x, const simd<R, N>& y) {
  simd<R, N> r(uninit);
  if constexpr (is_half_v<R>) {
    static_assert(!Op::integral_only, "this operator needs integral elements");
    half_map<N>(
        r.data(), [](__m256 a, __m256 b) { return Op::vec(a, b); }, x.data(), y.data());
  } else {
    vec_map<N>(
        r.data(), [](auto a, auto b) { return Op::apply(a, b); }, x.data(), y.data());
  }
  return r;
}

// r[i] = x[i] op s (or s op x[i]) on half lanes, with the broadcast operand s (its bits) widened
// once: broadcast as a half, then converted (one conversion of the whole vector).
template <typename Op, bool ScalarFirst, int N>
XPUEMU_SIMD_INLINE simd<sycl::half, N> half_lanewise_scalar(const simd<sycl::half, N>& x,
                                                             std::uint16_t s) {
  static_assert(!Op::integral_only, "this operator needs integral elements");
  simd<sycl::half, N> r(uninit);
  const __m256 sv = _mm256_cvtph_ps(_mm_set1_epi16(static_cast<short>(s)));
  half_map<N>(
      r.data(), [sv](__m256 v) { return ScalarFirst ? Op::vec(sv, v) : Op::vec(v, sv); }, x.data());
  return r;
}

template <typename Op, typename A, typename B>
XPUEMU_SIMD_INLINE auto arith(const A& a, const B& b) {
  using R = result_element_t<A, B>;
  constexpr int N = result_length<A, B>();
  static_assert(N > 0, "simd operands must have equal lengths (or one of length 1)");
  static_assert(!Op::integral_only || std::is_integral_v<R>,
                "this simd operator needs integral elements");
  if constexpr (is_half_v<R> && N > 1 && operand<B>::length <= 1) {
    // The scalar becomes a half first (it may round); its bits are broadcast, then converted.
    return half_lanewise_scalar<Op, false>(as_operand<R, N>(a), to_operand<R, 1>(b).data()[0]);
  } else if constexpr (is_half_v<R> && N > 1 && operand<A>::length <= 1) {
    return half_lanewise_scalar<Op, true>(as_operand<R, N>(b), to_operand<R, 1>(a).data()[0]);
  } else {
    return lanewise<Op, R, N>(as_operand<R, N>(a), as_operand<R, N>(b));
  }
}

// Lane-wise comparison giving a mask; a comparison involving a 1-element view gives bool.
template <typename Op, typename A, typename B>
XPUEMU_SIMD_INLINE auto compare(const A& a, const B& b) {
  using R = result_element_t<A, B>;
  constexpr int N = result_length<A, B>();
  static_assert(N > 0, "simd operands must have equal lengths (or one of length 1)");
  const simd<R, N>& x = as_operand<R, N>(a);
  const simd<R, N>& y = as_operand<R, N>(b);
  simd_mask<N> m(uninit);
  auto* o = m.data();
  if constexpr (is_half_v<R>) {
    float fx[N], fy[N];
    half_to_float<N>(x.data(), fx);
    half_to_float<N>(y.data(), fy);
    vec_compare<N>(
        o, [](auto p, auto q) { return Op::apply(p, q); }, fx, fy);
  } else {
    vec_compare<N>(
        o, [](auto p, auto q) { return Op::apply(p, q); }, x.data(), y.data());
  }
  if constexpr (N == 1 && (is_simd_view_v<A> || is_simd_view_v<B>))
    return o[0] != 0;
  else
    return m;
}

// ---- common part of simd and simd_mask
// -------------------------------------------------------------

template <typename T, int N, typename Derived>
class simd_obj_impl {
  static_assert(N > 0, "simd length must be positive");
  static constexpr std::size_t kBytes = N * sizeof(raw_t<T>);
  static constexpr std::size_t kAlign = pow2_ceil(kBytes) < 32 ? pow2_ceil(kBytes) : 32;

 public:
  using element_type = T;
  using raw_element_type = raw_t<T>;
  static constexpr int length = N;
  static constexpr int size() { return N; }

  // The raw elements (half as bits).
  XPUEMU_SIMD_INLINE raw_element_type* data() { return data_; }
  XPUEMU_SIMD_INLINE const raw_element_type* data() const { return data_; }
  XPUEMU_SIMD_INLINE Derived read() const { return static_cast<const Derived&>(*this); }

  // Element i: a writable 1-element view of an lvalue, a value otherwise.
  XPUEMU_SIMD_INLINE auto operator[](int i) & { return view().template select<1, 1>(i); }
  XPUEMU_SIMD_INLINE T operator[](int i) const& {
    check_region("operator[]", i, 1, 1, N);
    return from_raw<T>(data_[i]);
  }
  XPUEMU_SIMD_INLINE T operator[](int i) && {
    check_region("operator[]", i, 1, 1, N);
    return from_raw<T>(data_[i]);
  }

  // Elements off + i * Stride, i < Size: a view of an lvalue, a new object otherwise.
  template <int Size, int Stride = 1>
  XPUEMU_SIMD_INLINE auto select(std::uint16_t off = 0) & {
    return view().template select<Size, Stride>(off);
  }
  template <int Size, int Stride = 1>
  XPUEMU_SIMD_INLINE resize_t<Derived, Size> select(std::uint16_t off = 0) const& {
    return const_cast<simd_obj_impl*>(this)->view().template select<Size, Stride>(off).read();
  }
  template <int Size, int Stride = 1>
  XPUEMU_SIMD_INLINE resize_t<Derived, Size> select(std::uint16_t off = 0) && {
    return view().template select<Size, Stride>(off).read();
  }

  // The same bytes seen as elements of U (1-D), or as H rows of W elements of U.
  template <typename U>
  XPUEMU_SIMD_INLINE auto bit_cast_view() & {
    return view().template bit_cast_view<U>();
  }
  template <typename U, int H, int W>
  XPUEMU_SIMD_INLINE auto bit_cast_view() & {
    return view().template bit_cast_view<U, H, W>();
  }

  // Result element k = (*this)[off + (k / W) * VS + (k % W) * HS], k < R * W.
  template <int R, int VS, int W, int HS>
  XPUEMU_SIMD_INLINE resize_t<Derived, R * W> replicate_vs_w_hs(std::uint16_t off = 0) const {
    static_assert(R > 0 && W > 0 && VS >= 0 && HS >= 0, "replicate: bad region");
    if (__builtin_expect(off + (R - 1) * VS + (W - 1) * HS >= N, 0))
      region_error("replicate", off, R * W, HS, N);
    resize_t<Derived, R * W> r(uninit);
    for (int k = 0; k < R * W; ++k) r.data()[k] = data_[off + (k / W) * VS + (k % W) * HS];
    return r;
  }
  template <int R>
  XPUEMU_SIMD_INLINE resize_t<Derived, R * N> replicate() const {
    return replicate_vs_w_hs<R, 0, N, 1>(0);
  }
  template <int R, int W>
  XPUEMU_SIMD_INLINE resize_t<Derived, R * W> replicate_w(std::uint16_t off) const {
    return replicate_vs_w_hs<R, 0, W, 1>(off);
  }
  template <int R, int VS, int W>
  XPUEMU_SIMD_INLINE resize_t<Derived, R * W> replicate_vs_w(std::uint16_t off) const {
    return replicate_vs_w_hs<R, VS, W, 1>(off);
  }

  // Lanes where m is set take v (or v1), the others keep their value (or take v2).
  XPUEMU_SIMD_INLINE void merge(const Derived& v, const simd_mask<N>& m) {
    vec_select<N>(data_, m.data(), v.data(), data_);
  }
  XPUEMU_SIMD_INLINE void merge(const Derived& v1, const Derived& v2, const simd_mask<N>& m) {
    vec_select<N>(data_, m.data(), v1.data(), v2.data());
  }

  // 1 if some (every) element is non-zero.
  XPUEMU_SIMD_INLINE std::uint16_t any() const {
    static_assert(std::is_integral_v<T>, "any() needs integral elements");
    bool r = false;
    for (int i = 0; i < N; ++i) r |= data_[i] != 0;
    return r;
  }
  XPUEMU_SIMD_INLINE std::uint16_t all() const {
    static_assert(std::is_integral_v<T>, "all() needs integral elements");
    bool r = true;
    for (int i = 0; i < N; ++i) r &= data_[i] != 0;
    return r;
  }

  // Contiguous transfer of the N elements from / to global memory.
  template <typename Flags = element_aligned_tag,
            typename = std::enable_if_t<is_simd_flag_type_v<Flags>>>
  XPUEMU_SIMD_INLINE void copy_from(const T* p, Flags = {}) {
    xpuemu::detail::global_access(p, kBytes, flag_alignment<Flags, T, N>(),
                                  xpuemu::detail::access::read, "copy_from");
    std::memcpy(data_, p, kBytes);
  }
  template <typename Flags = element_aligned_tag,
            typename = std::enable_if_t<is_simd_flag_type_v<Flags>>>
  XPUEMU_SIMD_INLINE void copy_to(T* p, Flags = {}) const {
    xpuemu::detail::global_access(p, kBytes, flag_alignment<Flags, T, N>(),
                                  xpuemu::detail::access::write, "copy_to");
    std::memcpy(static_cast<void*>(p), data_, kBytes);
  }

 protected:
  simd_obj_impl() : data_{} {}
  explicit simd_obj_impl(uninit_t) {}

  using root_region = region<T, false, 1, N, 0, static_cast<int>(sizeof(T))>;
  XPUEMU_SIMD_INLINE simd_view<Derived, root_region> view() {
    return simd_view<Derived, root_region>(view_tag{}, reinterpret_cast<unsigned char*>(data_), 0);
  }

  alignas(kAlign) raw_element_type data_[N];
};

}  // namespace detail

// ---- simd
// ------------------------------------------------------------------------------------------

template <typename T, int N>
class simd : public detail::simd_obj_impl<T, N, simd<T, N>> {
  static_assert(detail::is_vectorizable_v<T>,
                "simd element type must be an arithmetic type other than bool, or sycl::half");
  using base = detail::simd_obj_impl<T, N, simd<T, N>>;
  using raw = detail::raw_t<T>;

 public:
  using value_type = simd;

  simd() = default;
  explicit simd(detail::uninit_t u) : base(u) {}
  simd(const simd&) = default;
  simd& operator=(const simd&) = default;

  // Broadcast of v converted to T.
  template <typename T1, typename = std::enable_if_t<detail::is_vectorizable_v<T1>>>
  XPUEMU_SIMD_INLINE simd(T1 v) : base(detail::uninit) {
    const raw r = detail::to_raw(detail::convert_scalar<T>(v));
    for (int i = 0; i < N; ++i) this->data_[i] = r;
  }
  // first + i * step.
  XPUEMU_SIMD_INLINE simd(T first, T step) : base(detail::uninit) {
    for (int i = 0; i < N; ++i) {
      if constexpr (detail::is_half_v<T>)
        this->data_[i] = sycl::half(float(first) + float(i) * float(step)).bits();
      else
        this->data_[i] = static_cast<T>(first + static_cast<T>(i) * step);
    }
  }
  // Element-wise conversion.
  template <typename U, typename = std::enable_if_t<!std::is_same_v<U, T>>>
  XPUEMU_SIMD_INLINE simd(const simd<U, N>& v) : base(detail::uninit) {
    detail::convert_n<T, U, N>(v.data(), this->data_);
  }
  XPUEMU_SIMD_INLINE simd(const T (&&values)[N]) : base(detail::uninit) {
    for (int i = 0; i < N; ++i) this->data_[i] = detail::to_raw(values[i]);
  }
  // Loads N contiguous elements (copy_from).
  template <typename Flags = element_aligned_tag,
            typename = std::enable_if_t<is_simd_flag_type_v<Flags>>>
  XPUEMU_SIMD_INLINE simd(const T* p, Flags f = {}) : base(detail::uninit) {
    this->copy_from(p, f);
  }

  // simd<T, 1> is a T (and a half one also a float).
  XPUEMU_SIMD_INLINE operator std::conditional_t<N == 1, T, detail::disabled<0>>() const {
    return detail::from_raw<T>(this->data_[0]);
  }
  XPUEMU_SIMD_INLINE
  operator std::conditional_t<N == 1 && detail::is_half_v<T>, float, detail::disabled<1>>() const {
    return sycl::half::to_float(this->data_[0]);
  }

#define XPUEMU_SIMD_COMPOUND(OP, IMPL)                                                         \
  template <typename X, typename = std::enable_if_t<detail::operand_ok_v<X>>>                  \
  XPUEMU_SIMD_INLINE simd& operator OP##=(const X& x) {                                        \
    static_assert(detail::result_length<simd, X>() == N, "simd operand lengths do not match"); \
    return *this = simd(detail::arith<detail::IMPL>(*this, x));                                \
  }
  XPUEMU_SIMD_COMPOUND(+, op_add)
  XPUEMU_SIMD_COMPOUND(-, op_sub)
  XPUEMU_SIMD_COMPOUND(*, op_mul)
  XPUEMU_SIMD_COMPOUND(/, op_div)
  XPUEMU_SIMD_COMPOUND(%, op_rem)
  XPUEMU_SIMD_COMPOUND(<<, op_shl)
  XPUEMU_SIMD_COMPOUND(>>, op_shr)
  XPUEMU_SIMD_COMPOUND(&, op_and)
  XPUEMU_SIMD_COMPOUND(|, op_or)
  XPUEMU_SIMD_COMPOUND(^, op_xor)
#undef XPUEMU_SIMD_COMPOUND

  XPUEMU_SIMD_INLINE simd& operator++() {
    return *this += 1;
  }
  XPUEMU_SIMD_INLINE simd& operator--() {
    return *this -= 1;
  }
  XPUEMU_SIMD_INLINE simd operator++(int) {
    simd old = *this;
    *this += 1;
    return old;
  }
  XPUEMU_SIMD_INLINE simd operator--(int) {
    simd old = *this;
    *this -= 1;
    return old;
  }
};

// ---- simd_mask
// -------------------------------------------------------------------------------------

namespace detail {

template <typename T, int N>
class simd_mask_impl : public simd_obj_impl<T, N, simd_mask_impl<T, N>> {
  using base = simd_obj_impl<T, N, simd_mask_impl<T, N>>;

 public:
  using value_type = simd_mask_impl;

  simd_mask_impl() = default;
  explicit simd_mask_impl(uninit_t u) : base(u) {}
  simd_mask_impl(const simd_mask_impl&) = default;
  simd_mask_impl& operator=(const simd_mask_impl&) = default;

  // Broadcast (any non-zero value enables a lane).
  template <typename T1, typename = std::enable_if_t<std::is_arithmetic_v<T1>>>
  XPUEMU_SIMD_INLINE simd_mask_impl(T1 v) : base(uninit) {
    for (int i = 0; i < N; ++i) this->data_[i] = static_cast<T>(v != 0);
  }
  XPUEMU_SIMD_INLINE simd_mask_impl(const T (&&values)[N]) : base(uninit) {
    for (int i = 0; i < N; ++i) this->data_[i] = values[i];
  }
  XPUEMU_SIMD_INLINE simd_mask_impl(const simd<T, N>& v) : base(uninit) {
    std::memcpy(this->data_, v.data(), sizeof(this->data_));
  }

  XPUEMU_SIMD_INLINE operator std::conditional_t<N == 1, bool, disabled<2>>() const {
    return this->data_[0] != 0;
  }

  // Logical operations on the lanes (any non-zero lane counts as set); results are 0 / 1.
#define XPUEMU_MASK_BINOP(OP, EXPR)                                               \
  friend XPUEMU_SIMD_INLINE simd_mask_impl operator OP(const simd_mask_impl& a,   \
                                                       const simd_mask_impl& b) { \
    simd_mask_impl r(uninit);                                                     \
    for (int i = 0; i < N; ++i) {                                                 \
      const bool x = a.data_[i] != 0, y = b.data_[i] != 0;                        \
      r.data_[i] = static_cast<T>(EXPR);                                          \
    }                                                                             \
    return r;                                                                     \
  }
  XPUEMU_MASK_BINOP(&&, x&& y)
  XPUEMU_MASK_BINOP(||, x || y)
  XPUEMU_MASK_BINOP(&, x&& y)
  XPUEMU_MASK_BINOP(|, x || y)
  XPUEMU_MASK_BINOP(^, x != y)
  XPUEMU_MASK_BINOP(==, x == y)
  XPUEMU_MASK_BINOP(!=, x != y)
#undef XPUEMU_MASK_BINOP

  friend XPUEMU_SIMD_INLINE simd_mask_impl operator!(const simd_mask_impl& a) {
    simd_mask_impl r(uninit);
    for (int i = 0; i < N; ++i) r.data_[i] = static_cast<T>(a.data_[i] == 0);
    return r;
  }
  friend XPUEMU_SIMD_INLINE simd_mask_impl operator~(const simd_mask_impl& a) {
    return !a;
  }
  XPUEMU_SIMD_INLINE simd_mask_impl& operator&=(const simd_mask_impl& o) {
    return *this = *this & o;
  }
  XPUEMU_SIMD_INLINE simd_mask_impl& operator|=(const simd_mask_impl& o) {
    return *this = *this | o;
  }
  XPUEMU_SIMD_INLINE simd_mask_impl& operator^=(const simd_mask_impl& o) {
    return *this = *this ^ o;
  }
};

// Values assignable to a view: masks to mask views, simd-like values and scalars to the others.
template <typename V, typename X>
constexpr bool view_assignable() {
  if constexpr (V::value_is_mask) {
    if constexpr (is_simd_view_v<X>)
      return X::value_is_mask && X::length == V::length;
    else
      return std::is_same_v<X, simd_mask<V::length>> || std::is_arithmetic_v<X>;
  } else {
    return operand_ok_v<X>;
  }
}

}  // namespace detail

// ---- simd_view
// -------------------------------------------------------------------------------------

template <typename BaseTy, typename RegionTy>
class simd_view {
  static constexpr bool kNested = detail::is_simd_view_v<BaseTy>;
  // The source: the base object's storage, or the parent view whose packed value is viewed.
  using source_t = std::conditional_t<kNested, BaseTy, unsigned char*>;
  using R = RegionTy;

 public:
  using base_type = BaseTy;
  using region_type = RegionTy;
  using element_type = typename R::element_type;
  using raw_element_type = detail::raw_t<element_type>;
  static constexpr int length = R::length;
  static constexpr bool root_is_mask = detail::root_is_mask<BaseTy>();
  static constexpr bool value_is_mask =
      root_is_mask && std::is_same_v<element_type, unsigned short>;
  using value_type =
      std::conditional_t<value_is_mask, simd_mask<length>, simd<element_type, length>>;
  static_assert(detail::is_vectorizable_v<element_type>, "bad simd_view element type");

  XPUEMU_SIMD_INLINE simd_view(detail::view_tag, source_t src, std::uint32_t off)
      : src_(src), off_(off) {}
  simd_view(const simd_view&) = default;

  // ---- value access ----

  XPUEMU_SIMD_INLINE value_type read() const {
    value_type v(detail::uninit);
    if constexpr (kNested) {
      const auto pv = src_.read();
      detail::region_read<R>(reinterpret_cast<const unsigned char*>(pv.data()) + off_, v.data());
    } else {
      detail::region_read<R>(src_ + off_, v.data());
    }
    return v;
  }
  XPUEMU_SIMD_INLINE void write(const value_type& v) const {
    if constexpr (kNested) {
      auto pv = src_.read();
      detail::region_write<R>(reinterpret_cast<unsigned char*>(pv.data()) + off_, v.data());
      src_.write(pv);
    } else {
      detail::region_write<R>(src_ + off_, v.data());
    }
  }

  template <typename U>
  XPUEMU_SIMD_INLINE operator simd<U, length>() const {
    if constexpr (value_is_mask) {
      simd<element_type, length> v(detail::uninit);
      std::memcpy(v.data(), read().data(), sizeof(raw_element_type) * length);
      return simd<U, length>(v);
    } else {
      return simd<U, length>(read());
    }
  }
  XPUEMU_SIMD_INLINE
  operator std::conditional_t<value_is_mask, simd_mask<length>, detail::disabled<3>>() const {
    return read();
  }
  // A 1-element view is its element (a half one also a float).
  XPUEMU_SIMD_INLINE
  operator std::conditional_t<length == 1, element_type, detail::disabled<0>>() const {
    return detail::from_raw<element_type>(read().data()[0]);
  }
  XPUEMU_SIMD_INLINE operator std::conditional_t<length == 1 && detail::is_half_v<element_type>,
                                                 float, detail::disabled<1>>() const {
    return sycl::half::to_float(read().data()[0]);
  }

  // ---- writes ----

  XPUEMU_SIMD_INLINE simd_view& operator=(const simd_view& o) {
    write(o.read());
    return *this;
  }
  template <typename X, typename = std::enable_if_t<detail::view_assignable<simd_view, X>()>>
  XPUEMU_SIMD_INLINE simd_view& operator=(const X& x) {
    if constexpr (value_is_mask) {
      if constexpr (detail::is_simd_view_v<X>)
        write(x.read());
      else
        write(value_type(x));
    } else {
      static_assert(detail::result_length<value_type, X>() == length,
                    "simd_view assignment: lengths do not match");
      write(detail::to_operand<element_type, length>(x));
    }
    return *this;
  }

#define XPUEMU_VIEW_COMPOUND(OP, IMPL)                                        \
  template <typename X, typename = std::enable_if_t<detail::operand_ok_v<X>>> \
  XPUEMU_SIMD_INLINE simd_view& operator OP##=(const X& x) {                  \
    static_assert(!value_is_mask, "no arithmetic on masks");                  \
    static_assert(detail::result_length<value_type, X>() == length,           \
                  "simd operand lengths do not match");                       \
    write(value_type(detail::arith<detail::IMPL>(read(), x)));                \
    return *this;                                                             \
  }
  XPUEMU_VIEW_COMPOUND(+, op_add)
  XPUEMU_VIEW_COMPOUND(-, op_sub)
  XPUEMU_VIEW_COMPOUND(*, op_mul)
  XPUEMU_VIEW_COMPOUND(/, op_div)
  XPUEMU_VIEW_COMPOUND(%, op_rem)
  XPUEMU_VIEW_COMPOUND(<<, op_shl)
  XPUEMU_VIEW_COMPOUND(>>, op_shr)
  XPUEMU_VIEW_COMPOUND(&, op_and)
  XPUEMU_VIEW_COMPOUND(|, op_or)
  XPUEMU_VIEW_COMPOUND(^, op_xor)
#undef XPUEMU_VIEW_COMPOUND

  XPUEMU_SIMD_INLINE simd_view& operator++() {
    return *this += 1;
  }
  XPUEMU_SIMD_INLINE simd_view& operator--() {
    return *this -= 1;
  }
  XPUEMU_SIMD_INLINE value_type operator++(int) {
    value_type old = read();
    *this += 1;
    return old;
  }
  XPUEMU_SIMD_INLINE value_type operator--(int) {
    value_type old = read();
    *this -= 1;
    return old;
  }

  // ---- nested views (offsets count elements of this view) ----

  template <int Size, int Stride = 1>
  XPUEMU_SIMD_INLINE auto select(std::uint16_t off = 0) const {
    static_assert(!R::is_2d, "select<Size, Stride> needs a 1-D view (2-D: select<SY,StY,SX,StX>)");
    static_assert(Size >= 1 && Stride >= 0 && (Size > 1 || Stride == 1),
                  "select: Size >= 1, Stride >= 0, and Stride == 1 for a single element");
    detail::check_region("select", off, Size, Stride, length);
    using R2 = detail::region<element_type, false, 1, Size, 0, R::col_stride * Stride>;
    return simd_view<BaseTy, R2>(detail::view_tag{}, src_, off_ + off * R::col_stride);
  }
  template <int SY, int StY, int SX, int StX>
  XPUEMU_SIMD_INLINE auto select(std::uint16_t y = 0, std::uint16_t x = 0) const {
    static_assert(R::is_2d, "select<SY, StY, SX, StX> needs a 2-D view");
    static_assert(SY >= 1 && SX >= 1 && StY >= 0 && StX >= 0, "select: bad region");
    detail::check_region("select (rows)", y, SY, StY, R::rows);
    detail::check_region("select (columns)", x, SX, StX, R::cols);
    using R2 = detail::region<element_type, true, SY, SX, R::row_stride * StY, R::col_stride * StX>;
    return simd_view<BaseTy, R2>(detail::view_tag{}, src_,
                                 off_ + y * R::row_stride + x * R::col_stride);
  }
  XPUEMU_SIMD_INLINE auto row(int i) const {
    static_assert(R::is_2d, "row() needs a 2-D view");
    detail::check_region("row", i, 1, 1, R::rows);
    using R2 = detail::region<element_type, false, 1, R::cols, 0, R::col_stride>;
    return simd_view<BaseTy, R2>(detail::view_tag{}, src_, off_ + i * R::row_stride);
  }
  XPUEMU_SIMD_INLINE auto column(int i) const {
    static_assert(R::is_2d, "column() needs a 2-D view");
    detail::check_region("column", i, 1, 1, R::cols);
    using R2 = detail::region<element_type, false, 1, R::rows, 0, R::row_stride>;
    return simd_view<BaseTy, R2>(detail::view_tag{}, src_, off_ + i * R::col_stride);
  }
  // Element i (row-major in a 2-D view) as a 1-element view.
  XPUEMU_SIMD_INLINE auto operator[](int i) const {
    detail::check_region("operator[]", i, 1, 1, length);
    using R2 = detail::region<element_type, false, 1, 1, 0, R::elem_bytes>;
    return simd_view<BaseTy, R2>(
        detail::view_tag{}, src_,
        off_ + (i / R::cols) * R::row_stride + (i % R::cols) * R::col_stride);
  }

  // The packed elements of this view reinterpreted as U. A view of a strided region gets the
  // packed value of this view as its source.
  template <typename U>
  XPUEMU_SIMD_INLINE auto bit_cast_view() const {
    constexpr int kBytes = length * R::elem_bytes;
    static_assert(kBytes % sizeof(U) == 0, "bit_cast_view: size mismatch");
    constexpr int kLen = kBytes / static_cast<int>(sizeof(U));
    using R2 = detail::region<U, false, 1, kLen, 0, static_cast<int>(sizeof(U))>;
    if constexpr (R::contiguous)
      return simd_view<BaseTy, R2>(detail::view_tag{}, src_, off_);
    else
      return simd_view<simd_view, R2>(detail::view_tag{}, *this, 0);
  }
  template <typename U, int H, int W>
  XPUEMU_SIMD_INLINE auto bit_cast_view() const {
    static_assert(H * W * sizeof(U) == length * sizeof(element_type),
                  "bit_cast_view: size mismatch");
    constexpr int kU = static_cast<int>(sizeof(U));
    using R2 = detail::region<U, true, H, W, W * kU, kU>;
    if constexpr (R::contiguous)
      return simd_view<BaseTy, R2>(detail::view_tag{}, src_, off_);
    else
      return simd_view<simd_view, R2>(detail::view_tag{}, *this, 0);
  }

  // ---- value operations ----

  template <int Rep>
  XPUEMU_SIMD_INLINE auto replicate() const {
    return read().template replicate<Rep>();
  }
  template <int Rep, int W>
  XPUEMU_SIMD_INLINE auto replicate_w(std::uint16_t off) const {
    return read().template replicate_w<Rep, W>(off);
  }
  template <int Rep, int VS, int W>
  XPUEMU_SIMD_INLINE auto replicate_vs_w(std::uint16_t off) const {
    return read().template replicate_vs_w<Rep, VS, W>(off);
  }
  template <int Rep, int VS, int W, int HS>
  XPUEMU_SIMD_INLINE auto replicate_vs_w_hs(std::uint16_t off) const {
    return read().template replicate_vs_w_hs<Rep, VS, W, HS>(off);
  }
  XPUEMU_SIMD_INLINE std::uint16_t any() const {
    return read().any();
  }
  XPUEMU_SIMD_INLINE std::uint16_t all() const {
    return read().all();
  }
  XPUEMU_SIMD_INLINE void merge(const value_type& v, const simd_mask<length>& m) const {
    value_type cur = read();
    cur.merge(v, m);
    write(cur);
  }
  XPUEMU_SIMD_INLINE void merge(const value_type& v1, const value_type& v2,
                                const simd_mask<length>& m) const {
    value_type cur(detail::uninit);
    cur.merge(v1, v2, m);
    write(cur);
  }

 private:
  source_t src_;
  std::uint32_t off_;  // bytes from the start of the source
};

// ---- free operators
// --------------------------------------------------------------------------------

#define XPUEMU_SIMD_BINOP(OP, IMPL, KIND)                                                  \
  template <typename A, typename B, typename = std::enable_if_t<detail::binop_ok_v<A, B>>> \
  XPUEMU_SIMD_INLINE auto operator OP(const A& a, const B& b) {                            \
    return detail::KIND<detail::IMPL>(a, b);                                               \
  }
XPUEMU_SIMD_BINOP(+, op_add, arith)
XPUEMU_SIMD_BINOP(-, op_sub, arith)
XPUEMU_SIMD_BINOP(*, op_mul, arith)
XPUEMU_SIMD_BINOP(/, op_div, arith)
XPUEMU_SIMD_BINOP(%, op_rem, arith)
XPUEMU_SIMD_BINOP(<<, op_shl, arith)
XPUEMU_SIMD_BINOP(>>, op_shr, arith)
XPUEMU_SIMD_BINOP(&, op_and, arith)
XPUEMU_SIMD_BINOP(|, op_or, arith)
XPUEMU_SIMD_BINOP(^, op_xor, arith)
XPUEMU_SIMD_BINOP(<, cmp_lt, compare)
XPUEMU_SIMD_BINOP(<=, cmp_le, compare)
XPUEMU_SIMD_BINOP(>, cmp_gt, compare)
XPUEMU_SIMD_BINOP(>=, cmp_ge, compare)
XPUEMU_SIMD_BINOP(==, cmp_eq, compare)
XPUEMU_SIMD_BINOP(!=, cmp_ne, compare)
#undef XPUEMU_SIMD_BINOP

template <typename A, typename = std::enable_if_t<detail::operand<A>::simd_like>>
XPUEMU_SIMD_INLINE auto operator+(const A& a) {
  using T = typename detail::operand<A>::element_type;
  static_assert(!std::is_unsigned_v<T>, "unary plus on unsigned simd elements");
  return detail::to_operand<T, detail::operand<A>::length>(a);
}

template <typename A, typename = std::enable_if_t<detail::operand<A>::simd_like>>
XPUEMU_SIMD_INLINE auto operator-(const A& a) {
  using T = typename detail::operand<A>::element_type;
  constexpr int N = detail::operand<A>::length;
  static_assert(!std::is_unsigned_v<T>, "unary minus on unsigned simd elements");
  const simd<T, N> v = detail::to_operand<T, N>(a);
  simd<T, N> r(detail::uninit);
  for (int i = 0; i < N; ++i) {
    if constexpr (detail::is_half_v<T>)
      r.data()[i] = static_cast<std::uint16_t>(v.data()[i] ^ 0x8000u);
    else
      r.data()[i] = static_cast<T>(-v.data()[i]);
  }
  return r;
}

template <typename A, typename = std::enable_if_t<detail::operand<A>::simd_like>>
XPUEMU_SIMD_INLINE auto operator~(const A& a) {
  using T = typename detail::operand<A>::element_type;
  constexpr int N = detail::operand<A>::length;
  static_assert(std::is_integral_v<T>, "operator~ needs integral elements");
  const simd<T, N> v = detail::to_operand<T, N>(a);
  simd<T, N> r(detail::uninit);
  for (int i = 0; i < N; ++i) r.data()[i] = static_cast<T>(~v.data()[i]);
  return r;
}

template <typename A, typename = std::enable_if_t<detail::operand<A>::simd_like>>
XPUEMU_SIMD_INLINE auto operator!(const A& a) {
  using T = typename detail::operand<A>::element_type;
  static_assert(std::is_integral_v<T>, "operator! needs integral elements");
  return a == T(0);
}

// Element-wise C++ conversion (float to integer truncates, to half rounds to nearest even).
template <typename To, typename From, int N>
XPUEMU_SIMD_INLINE simd<To, N> convert(const simd<From, N>& v) {
  return simd<To, N>(v);
}
template <typename To, typename B, typename R>
XPUEMU_SIMD_INLINE auto convert(const simd_view<B, R>& v) {
  return simd<To, R::length>(v.read());
}

}  // namespace ext::intel::esimd
}  // namespace _V1
}  // namespace sycl
