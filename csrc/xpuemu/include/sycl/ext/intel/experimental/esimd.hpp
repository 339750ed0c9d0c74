// Experimental ESIMD API: LSC block loads and stores to global memory.
#pragma once

#include "sycl/ext/intel/esimd.hpp"

namespace sycl {
inline namespace _V1 {
namespace ext::intel::experimental::esimd {

namespace esimd_ns = sycl::ext::intel::esimd;

// Data size of a transfer; kept for source compatibility, not used by block transfers.
enum class lsc_data_size : std::uint8_t {
  default_size = 0,
  u8 = 1,
  u16 = 2,
  u32 = 3,
  u64 = 4,
  u8u32 = 5,
  u16u32 = 6,
  u16u32h = 7,
};

using cache_hint = esimd_ns::cache_hint;

namespace detail {

using esimd_ns::detail::load_hints_ok;
using esimd_ns::detail::store_hints_ok;

// Alignment checked for a block at p: the block requirement, or more if the flags promise it.
template <typename T, int N, typename FlagsT>
constexpr std::size_t lsc_alignment() {
  constexpr std::size_t block = esimd_ns::detail::block_alignment<T, N>();
  constexpr std::size_t flags = esimd_ns::detail::flag_alignment<FlagsT, T, N>();
  return block > flags ? block : flags;
}

template <typename T, int N, cache_hint L1, cache_hint L3, bool Load>
constexpr void check_block() {
  static_assert(esimd_ns::detail::is_vectorizable_v<T>, "lsc block: bad element type");
  static_assert(esimd_ns::detail::valid_block_nelts<T, N>(),
                "lsc block: NElts not supported for this element size (8/4-byte: 1,2,3,4,8,16,"
                "32,64 (+128 for 4-byte); 2-byte: 2,4,6,8,16,32,64,128,256; 1-byte: 4,8,12,16,"
                "32,64,128,256,512)");
  if constexpr (Load)
    static_assert(load_hints_ok<L1, L3>(), "lsc_block_load: illegal cache hint combination");
  else
    static_assert(store_hints_ok<L1, L3>(), "lsc_block_store: illegal cache hint combination");
}

}  // namespace detail

// One contiguous transfer of NElts elements at p (dword aligned, qword for 8-byte elements and
// blocks over 256 bytes). A zero predicate skips the access: the result is zero (or pass_thru).
template <typename T, int NElts, lsc_data_size DS = lsc_data_size::default_size,
          cache_hint L1H = cache_hint::none, cache_hint L3H = cache_hint::none,
          typename FlagsT = esimd_ns::element_aligned_tag>
XPUEMU_SIMD_INLINE std::enable_if_t<esimd_ns::is_simd_flag_type_v<FlagsT>, esimd_ns::simd<T, NElts>>
lsc_block_load(const T* p, esimd_ns::simd_mask<1> pred, esimd_ns::simd<T, NElts> pass_thru,
               FlagsT = {}) {
  detail::check_block<T, NElts, L1H, L3H, true>();
  return esimd_ns::detail::global_load_block<T, NElts, detail::lsc_alignment<T, NElts, FlagsT>(),
                                             L1H == cache_hint::uncached>(
      p, 0, pred.data()[0] != 0, pass_thru, "lsc_block_load");
}
template <typename T, int NElts, lsc_data_size DS = lsc_data_size::default_size,
          cache_hint L1H = cache_hint::none, cache_hint L3H = cache_hint::none,
          typename FlagsT = esimd_ns::element_aligned_tag>
XPUEMU_SIMD_INLINE std::enable_if_t<esimd_ns::is_simd_flag_type_v<FlagsT>, esimd_ns::simd<T, NElts>>
lsc_block_load(const T* p, esimd_ns::simd_mask<1> pred = 1, FlagsT flags = {}) {
  // A skipped load gives zeros; a performed one overwrites every element, so nothing is cleared.
  if (!pred.data()[0]) return esimd_ns::simd<T, NElts>();
  return lsc_block_load<T, NElts, DS, L1H, L3H, FlagsT>(
      p, pred, esimd_ns::simd<T, NElts>(esimd_ns::detail::uninit), flags);
}
template <typename T, int NElts, lsc_data_size DS = lsc_data_size::default_size,
          cache_hint L1H = cache_hint::none, cache_hint L3H = cache_hint::none,
          typename FlagsT = esimd_ns::element_aligned_tag>
XPUEMU_SIMD_INLINE std::enable_if_t<esimd_ns::is_simd_flag_type_v<FlagsT>, esimd_ns::simd<T, NElts>>
lsc_block_load(const T* p, FlagsT flags) {
  return lsc_block_load<T, NElts, DS, L1H, L3H, FlagsT>(p, esimd_ns::simd_mask<1>(1), flags);
}

template <typename T, int NElts, lsc_data_size DS = lsc_data_size::default_size,
          cache_hint L1H = cache_hint::none, cache_hint L3H = cache_hint::none,
          typename FlagsT = esimd_ns::element_aligned_tag>
XPUEMU_SIMD_INLINE std::enable_if_t<esimd_ns::is_simd_flag_type_v<FlagsT>> lsc_block_store(
    T* p, esimd_ns::simd<T, NElts> vals, esimd_ns::simd_mask<1> pred = 1, FlagsT = {}) {
  detail::check_block<T, NElts, L1H, L3H, false>();
  esimd_ns::detail::global_store_block<T, NElts, detail::lsc_alignment<T, NElts, FlagsT>()>(
      p, 0, vals, pred.data()[0] != 0, "lsc_block_store");
}
template <typename T, int NElts, lsc_data_size DS = lsc_data_size::default_size,
          cache_hint L1H = cache_hint::none, cache_hint L3H = cache_hint::none,
          typename FlagsT = esimd_ns::element_aligned_tag>
XPUEMU_SIMD_INLINE std::enable_if_t<esimd_ns::is_simd_flag_type_v<FlagsT>> lsc_block_store(
    T* p, esimd_ns::simd<T, NElts> vals, FlagsT flags) {
  lsc_block_store<T, NElts, DS, L1H, L3H, FlagsT>(p, vals, esimd_ns::simd_mask<1>(1), flags);
}

}  // namespace ext::intel::experimental::esimd
}  // namespace _V1
}  // namespace sycl
