// ESIMD building blocks shared by the simd types, memory and math functions: macros, tags, enums,
// element-type traits and the lane kernels (half lanes go through F16C in blocks of 8).
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "sycl/sycl.hpp"

// Kernel and function markers: nothing to do on the host.
#ifndef SYCL_ESIMD_KERNEL
#define SYCL_ESIMD_KERNEL
#endif
#ifndef SYCL_ESIMD_FUNCTION
#define SYCL_ESIMD_FUNCTION
#endif
#ifndef ESIMD_INLINE
#define ESIMD_INLINE inline __attribute__((always_inline))
#endif
#ifndef ESIMD_NOINLINE
#define ESIMD_NOINLINE __attribute__((noinline))
#endif

// Every simd operation is small and sized at compile time: inline it so that the lane loops
// vectorise in the caller.
#define XPUEMU_SIMD_INLINE inline __attribute__((always_inline))

namespace sycl {
inline namespace _V1 {
namespace ext::intel::esimd {

// ---- alignment tags of copy_from / copy_to / block accesses
// --------------------------------------

struct element_aligned_tag {};
struct vector_aligned_tag {};
template <unsigned A>
struct overaligned_tag {
  static_assert(A != 0 && (A & (A - 1)) == 0, "overaligned_tag: alignment must be a power of two");
};
inline constexpr element_aligned_tag element_aligned{};
inline constexpr vector_aligned_tag vector_aligned{};
template <unsigned A>
inline constexpr overaligned_tag<A> overaligned{};

template <typename T>
struct is_simd_flag_type : std::false_type {};
template <>
struct is_simd_flag_type<element_aligned_tag> : std::true_type {};
template <>
struct is_simd_flag_type<vector_aligned_tag> : std::true_type {};
template <unsigned A>
struct is_simd_flag_type<overaligned_tag<A>> : std::true_type {};
template <typename T>
inline constexpr bool is_simd_flag_type_v = is_simd_flag_type<std::remove_cv_t<T>>::value;

// ---- saturation tags of the math functions
// -------------------------------------------------------

struct saturation_on_tag {};
struct saturation_off_tag {};
inline constexpr saturation_on_tag saturation_on{};
inline constexpr saturation_off_tag saturation_off{};

// ---- cache hints and fences
// ------------------------------------------------------------------------

enum class cache_hint : std::uint8_t {
  none = 0,
  uncached = 1,
  cached = 2,
  write_back = 3,
  write_through = 4,
  streaming = 5,
  read_invalidate = 6,
  const_cached = 7,
};

// Unscoped on purpose: the enumerators OR together into a fence<ctrl>() argument.
enum fence_mask : std::uint8_t {
  global_coherent_fence = 0x01,
  l2_flush_instructions = 0x02,
  l2_flush_texture_data = 0x04,
  l2_flush_constant_data = 0x08,
  l2_flush_rw_data = 0x10,
  l3_flush_instructions = 0x02,
  l3_flush_texture_data = 0x04,
  l3_flush_constant_data = 0x08,
  l3_flush_rw_data = 0x10,
  local_barrier = 0x20,
  l1_flush_ro_data = 0x40,
  sw_barrier = 0x80,
};

template <typename T, int N>
class simd;
template <typename BaseTy, typename RegionTy>
class simd_view;

namespace detail {

template <typename T, int N>
class simd_mask_impl;

// Constructor tag: leave the storage uninitialised because it is about to be overwritten.
struct uninit_t {};
inline constexpr uninit_t uninit{};
// Constructor tag of views.
struct view_tag {};

template <typename T>
struct type_identity {
  using type = T;
};
template <typename T>
using type_identity_t = typename type_identity<T>::type;

// A type nothing converts to, for conversion operators that only some lengths have.
template <int I>
struct disabled {};

template <typename T>
inline constexpr bool is_half_v = std::is_same_v<std::remove_cv_t<T>, sycl::half>;
// Valid simd element types: arithmetic types except bool, and half.
template <typename T>
inline constexpr bool is_vectorizable_v =
    (std::is_arithmetic_v<T> && !std::is_same_v<std::remove_cv_t<T>, bool>) || is_half_v<T>;
template <typename T>
inline constexpr bool is_float_or_half_v = std::is_same_v<T, float> || is_half_v<T>;

// Storage type of an element: half is kept as its bits.
template <typename T>
struct raw_type {
  using type = T;
};
template <>
struct raw_type<sycl::half> {
  using type = std::uint16_t;
};
template <typename T>
using raw_t = typename raw_type<T>::type;

// Element type in which a binary operation on A and B runs: ordinary C++ promotion for standard
// types; half with half or an integer stays half; half with float or double gives that type.
template <typename A, typename B>
constexpr auto computation_type_of() {
  if constexpr (is_half_v<A> && is_half_v<B>) {
    return type_identity<sycl::half>{};
  } else if constexpr (is_half_v<A>) {
    if constexpr (std::is_integral_v<B>)
      return type_identity<sycl::half>{};
    else
      return type_identity<B>{};
  } else if constexpr (is_half_v<B>) {
    return computation_type_of<B, A>();
  } else {
    return type_identity<decltype(std::declval<A>() + std::declval<B>())>{};
  }
}
template <typename A, typename B>
using computation_type_t = typename decltype(computation_type_of<A, B>())::type;

constexpr std::size_t pow2_ceil(std::size_t x) {
  std::size_t p = 1;
  while (p < x) p <<= 1;
  return p;
}

template <unsigned A>
constexpr std::size_t flag_alignment_of(overaligned_tag<A>) {
  return A;
}
// Alignment a flags tag promises for a vector of N elements of T.
template <typename Flags, typename T, int N>
constexpr std::size_t flag_alignment() {
  if constexpr (std::is_same_v<Flags, vector_aligned_tag>) {
    return pow2_ceil(N * sizeof(T));
  } else if constexpr (std::is_same_v<Flags, element_aligned_tag>) {
    return alignof(T);
  } else {
    return flag_alignment_of(Flags{});
  }
}

// ---- scalar conversions
// ----------------------------------------------------------------------------

template <typename T>
XPUEMU_SIMD_INLINE raw_t<T> to_raw(T v) {
  if constexpr (is_half_v<T>)
    return v.bits();
  else
    return v;
}
template <typename T>
XPUEMU_SIMD_INLINE T from_raw(raw_t<T> v) {
  if constexpr (is_half_v<T>)
    return sycl::half::from_bits(v);
  else
    return v;
}

// C++-style conversion of one element; to half rounds to nearest even once.
template <typename To, typename From>
XPUEMU_SIMD_INLINE To convert_scalar(From v) {
  if constexpr (std::is_same_v<To, From>) {
    return v;
  } else if constexpr (is_half_v<To>) {
    return sycl::half(v);
  } else if constexpr (is_half_v<From>) {
    return static_cast<To>(static_cast<float>(v));
  } else {
    return static_cast<To>(v);
  }
}

// Copies Bytes bytes in Chunk-byte (32 or 16) vector moves, then smaller ones. The chunk should
// match how the data is written and read: a load spanning two smaller stores stalls store
// forwarding (a plain memcpy may be expanded in 16-byte pieces).
template <std::size_t Bytes, std::size_t Chunk>
XPUEMU_SIMD_INLINE void copy_bytes(void* dst, const void* src) {
  auto* d = static_cast<unsigned char*>(dst);
  const auto* s = static_cast<const unsigned char*>(src);
  constexpr std::size_t kFull = Chunk == 32 ? Bytes / 32 * 32 : 0;
  for (std::size_t i = 0; i < kFull; i += 32)
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + i),
                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i)));
  constexpr std::size_t k16 = kFull + (Bytes - kFull) / 16 * 16;
  for (std::size_t i = kFull; i < k16; i += 16)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i)));
  std::memcpy(d + k16, s + k16, Bytes - k16);
}

// ---- lane kernels
// ----------------------------------------------------------------------------------

XPUEMU_SIMD_INLINE __m256 load8h(const std::uint16_t* p) {
  return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
XPUEMU_SIMD_INLINE void store8h(std::uint16_t* p, __m256 v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT));
}
// Tails of fewer than 8 lanes are assembled in general registers: partial stores into a buffer
// followed by a full-width load would stall store forwarding.

// The first R (< 8) halves at p in the low lanes, the other lanes zero.
template <int R>
XPUEMU_SIMD_INLINE __m128i load_tail_epi16(const std::uint16_t* p) {
  if constexpr (R <= 4) {
    std::uint64_t lo = 0;
    std::memcpy(&lo, p, R * sizeof(std::uint16_t));
    return _mm_cvtsi64_si128(static_cast<long long>(lo));
  } else {
    std::uint64_t lo, hi = 0;
    std::memcpy(&lo, p, 8);
    std::memcpy(&hi, p + 4, (R - 4) * sizeof(std::uint16_t));
    return _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
  }
}
// Stores the R (< 8) low halves of v at p.
template <int R>
XPUEMU_SIMD_INLINE void store_tail_epi16(std::uint16_t* p, __m128i v) {
  if constexpr (R <= 4) {
    const auto lo = static_cast<std::uint64_t>(_mm_cvtsi128_si64(v));
    std::memcpy(p, &lo, R * sizeof(std::uint16_t));
  } else {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
    const auto hi = static_cast<std::uint64_t>(_mm_extract_epi64(v, 1));
    std::memcpy(p + 4, &hi, (R - 4) * sizeof(std::uint16_t));
  }
}
// The first R (< 8) floats at p, the other lanes zero.
template <int R>
XPUEMU_SIMD_INLINE __m128 load_tail_ps128(const float* p) {
  if constexpr (R == 0) {
    return _mm_setzero_ps();
  } else if constexpr (R == 1) {
    return _mm_load_ss(p);
  } else if constexpr (R == 2 || R == 3) {
    std::uint64_t two;  // memcpy: a load through double* could be reordered across float stores
    std::memcpy(&two, p, 8);
    const __m128 lo = _mm_castsi128_ps(_mm_cvtsi64_si128(static_cast<long long>(two)));
    return R == 2 ? lo : _mm_movelh_ps(lo, _mm_load_ss(p + 2));
  } else {
    return _mm_loadu_ps(p);
  }
}
template <int R>
XPUEMU_SIMD_INLINE __m256 load_tail_ps(const float* p) {
  if constexpr (R <= 4)
    return _mm256_zextps128_ps256(load_tail_ps128<R>(p));
  else
    return _mm256_set_m128(load_tail_ps128<R - 4>(p + 4), _mm_loadu_ps(p));
}
// Stores the R (< 8) low floats of v at p.
template <int R>
XPUEMU_SIMD_INLINE void store_tail_ps(float* p, __m256 v) {
  __m128 x = _mm256_castps256_ps128(v);
  if constexpr (R >= 4) {
    _mm_storeu_ps(p, x);
    x = _mm256_extractf128_ps(v, 1);
    p += 4;
  }
  constexpr int r = R % 4;
  if constexpr (r >= 2) {
    _mm_storel_pi(reinterpret_cast<__m64*>(p), x);
    x = _mm_movehl_ps(x, x);
    p += 2;
  }
  if constexpr (r % 2 == 1) _mm_store_ss(p, x);
}

template <int R>
XPUEMU_SIMD_INLINE __m256 load_tail_h(const std::uint16_t* p) {
  return _mm256_cvtph_ps(load_tail_epi16<R>(p));
}

// out[i] = f(src[i]...) over N half lanes: f works on 8 float lanes, each result is rounded to
// half once.
template <int N, typename F, typename... P>
XPUEMU_SIMD_INLINE void half_map(std::uint16_t* out, F f, P... src) {
  constexpr int kFull = N / 8 * 8;
  for (int i = 0; i < kFull; i += 8) store8h(out + i, f(load8h(src + i)...));
  if constexpr (N % 8 != 0)
    store_tail_epi16<N % 8>(out + kFull, _mm256_cvtps_ph(f(load_tail_h<N % 8>(src + kFull)...),
                                                         _MM_FROUND_TO_NEAREST_INT));
}

// Bytes of T as a GCC vector: plain lane loops over small arrays may be fully unrolled and
// scalarised, explicit vector blocks stay in vector registers.
template <typename T, int Bytes>
struct vec_of {
  using type [[gnu::vector_size(Bytes)]] = T;
};
template <typename V, typename T>
XPUEMU_SIMD_INLINE V load_vec(const T* p) {
  V v;
  std::memcpy(&v, p, sizeof(V));
  return v;
}
// Signed integer of the given size (lane type of vector comparison results).
template <std::size_t S>
using signed_of_size =
    std::conditional_t<S == 1, std::int8_t,
                       std::conditional_t<S == 2, std::int16_t,
                                          std::conditional_t<S == 4, std::int32_t, std::int64_t>>>;

template <int Bytes, typename T, typename F, typename... P>
XPUEMU_SIMD_INLINE void vec_block(T* out, F f, P... src) {
  using V = typename vec_of<T, Bytes>::type;
  const V r = f(load_vec<V>(src)...);
  std::memcpy(out, &r, Bytes);
}

// out[i] = f(src[i]...) over N lanes of a standard type T: f is called on 32-byte vectors, then
// on one 16- and one 8-byte vector if they fit, then on the remaining scalars.
template <int N, typename T, typename F, typename... P>
XPUEMU_SIMD_INLINE void vec_map(T* out, F f, P... src) {
  constexpr int kT = static_cast<int>(sizeof(T));
  constexpr int k32 = 32 / kT, k16 = 16 / kT, k8 = 8 / kT;
  constexpr int kFull = N / k32 * k32;
  for (int i = 0; i < kFull; i += k32) vec_block<32>(out + i, f, (src + i)...);
  constexpr int kAfter16 = kFull + (N - kFull >= k16 ? k16 : 0);
  if constexpr (kAfter16 > kFull) vec_block<16>(out + kFull, f, (src + kFull)...);
  constexpr bool kUse8 = k8 >= 2 && N - kAfter16 >= k8;
  if constexpr (kUse8) vec_block<8>(out + kAfter16, f, (src + kAfter16)...);
  for (int i = kAfter16 + (kUse8 ? k8 : 0); i < N; ++i) out[i] = f(src[i]...);
}

// m[i] = f(a[i], b[i]) as 0 / 1 over N lanes of a standard type T (f: a comparison).
template <int N, typename T, typename F>
XPUEMU_SIMD_INLINE void vec_compare(unsigned short* m, F f, const T* a, const T* b) {
  constexpr int kLanes = static_cast<int>(32 / sizeof(T));
  using V = typename vec_of<T, 32>::type;
  using M = typename vec_of<unsigned short, 2 * kLanes>::type;
  constexpr int kFull = N / kLanes * kLanes;
  for (int i = 0; i < kFull; i += kLanes) {
    const M r = __builtin_convertvector(f(load_vec<V>(a + i), load_vec<V>(b + i)), M) & 1;
    std::memcpy(m + i, &r, sizeof(M));
  }
  for (int i = kFull; i < N; ++i) m[i] = f(a[i], b[i]);
}

// out[i] = m[i] ? x[i] : y[i] over N lanes of T.
template <int N, typename T>
XPUEMU_SIMD_INLINE void vec_select(T* out, const unsigned short* m, const T* x, const T* y) {
  constexpr int kLanes = static_cast<int>(32 / sizeof(T));
  using V = typename vec_of<T, 32>::type;
  using M = typename vec_of<unsigned short, 2 * kLanes>::type;
  using W = typename vec_of<signed_of_size<sizeof(T)>, 32>::type;
  constexpr int kFull = N / kLanes * kLanes;
  for (int i = 0; i < kFull; i += kLanes) {
    const W on = __builtin_convertvector(load_vec<M>(m + i), W);
    const V r = on != 0 ? load_vec<V>(x + i) : load_vec<V>(y + i);
    std::memcpy(out + i, &r, sizeof(V));
  }
  for (int i = kFull; i < N; ++i) out[i] = m[i] ? x[i] : y[i];
}

template <int N>
XPUEMU_SIMD_INLINE void half_to_float(const std::uint16_t* in, float* out) {
  constexpr int kFull = N / 8 * 8;
  for (int i = 0; i < kFull; i += 8) _mm256_storeu_ps(out + i, load8h(in + i));
  if constexpr (N % 8 != 0) store_tail_ps<N % 8>(out + kFull, load_tail_h<N % 8>(in + kFull));
}

template <int N>
XPUEMU_SIMD_INLINE void float_to_half(const float* in, std::uint16_t* out) {
  constexpr int kFull = N / 8 * 8;
  for (int i = 0; i < kFull; i += 8) store8h(out + i, _mm256_loadu_ps(in + i));
  if constexpr (N % 8 != 0)
    store_tail_epi16<N % 8>(
        out + kFull, _mm256_cvtps_ph(load_tail_ps<N % 8>(in + kFull), _MM_FROUND_TO_NEAREST_INT));
}

// Copies Bytes bytes in whole 32-byte moves (then 16, then the rest): GCC's generic tuning
// expands memcpy in 16-byte halves, and a block stored in halves and read back whole (the simd a
// block load returns, copied into the kernel's register tile) stalls store-to-load forwarding.
template <std::size_t Bytes>
XPUEMU_SIMD_INLINE void copy_block(void* dst, const void* src) {
  auto* d = static_cast<char*>(dst);
  const auto* s = static_cast<const char*>(src);
  std::size_t i = 0;
  for (; i + 32 <= Bytes; i += 32)
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + i),
                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i)));
  if constexpr (Bytes % 32 >= 16) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i)));
    i += 16;
  }
  if constexpr (Bytes % 16 != 0) std::memcpy(d + i, s + i, Bytes % 16);
}

// Element-wise conversion of N elements between storage arrays.
template <typename To, typename From, int N>
XPUEMU_SIMD_INLINE void convert_n(const raw_t<From>* in, raw_t<To>* out) {
  if constexpr (std::is_same_v<To, From>) {
    std::memcpy(out, in, N * sizeof(raw_t<To>));
  } else if constexpr (is_half_v<From> && std::is_same_v<To, float>) {
    half_to_float<N>(in, out);
  } else if constexpr (is_half_v<To> && std::is_same_v<From, float>) {
    float_to_half<N>(in, out);
  } else if constexpr (is_half_v<From>) {
    float t[N];
    half_to_float<N>(in, t);
    for (int i = 0; i < N; ++i) out[i] = static_cast<To>(t[i]);
  } else if constexpr (is_half_v<To>) {
    float t[N];
    for (int i = 0; i < N; ++i) t[i] = static_cast<float>(in[i]);
    float_to_half<N>(t, out);
  } else {
    for (int i = 0; i < N; ++i) out[i] = static_cast<To>(in[i]);
  }
}

// ---- errors
// ----------------------------------------------------------------------------------------

[[noreturn]] __attribute__((noinline, cold)) inline void region_error(const char* what, int off,
                                                                      int size, int stride,
                                                                      int length) {
  throw std::out_of_range(std::string(what) + ": region of " + std::to_string(size) +
                          " elements with stride " + std::to_string(stride) + " at offset " +
                          std::to_string(off) + " does not fit in " + std::to_string(length) +
                          " elements");
}

// Throws unless elements off, off + stride, ..., off + (size - 1) * stride lie below length.
XPUEMU_SIMD_INLINE void check_region(const char* what, int off, int size, int stride, int length) {
  if (__builtin_expect(off < 0 || off + (size - 1) * stride >= length, 0))
    region_error(what, off, size, stride, length);
}

}  // namespace detail
}  // namespace ext::intel::esimd
}  // namespace _V1
}  // namespace sycl
