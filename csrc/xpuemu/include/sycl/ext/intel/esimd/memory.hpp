// ESIMD memory access: block transfers and gather from global memory, shared local memory (SLM)
// and synchronisation. Every access goes through the runtime's checking hooks before memory is
// touched; masked-off lanes and predicated-off blocks make no call and no access.
#pragma once

#include <atomic>

#include "sycl/ext/intel/esimd/simd.hpp"

namespace sycl {
inline namespace _V1 {
namespace ext::intel::esimd {

// ---- compile-time properties of memory accesses
// -------------------------------------------------

// The alignment the address of an access is assumed to have, and a cache hint per cache level.
template <std::size_t K>
struct alignment_property {
  static_assert(K != 0 && (K & (K - 1)) == 0, "alignment<K>: K must be a power of two");
  static constexpr std::size_t value = K;
};
template <int Level, cache_hint H>
struct cache_hint_property {
  static constexpr cache_hint value = H;
};
template <std::size_t K>
inline constexpr alignment_property<K> alignment{};
template <cache_hint H>
inline constexpr cache_hint_property<1, H> cache_hint_L1{};
template <cache_hint H>
inline constexpr cache_hint_property<2, H> cache_hint_L2{};
template <cache_hint H>
inline constexpr cache_hint_property<3, H> cache_hint_L3{};

namespace detail {

// Kind of a property: 0 alignment, 1 to 3 the cache level of a hint, -1 not a property.
template <typename P>
inline constexpr int property_kind = -1;
template <std::size_t K>
inline constexpr int property_kind<alignment_property<K>> = 0;
template <int L, cache_hint H>
inline constexpr int property_kind<cache_hint_property<L, H>> = L;

template <typename... Props>
constexpr bool properties_distinct() {
  for (int k = 0; k <= 3; ++k)
    if ((0 + ... + (property_kind<Props> == k)) > 1) return false;
  return true;
}

// Values of one property; properties that are absent count as 0 (cache_hint::none).
template <typename P>
inline constexpr std::size_t alignment_value = 0;
template <std::size_t K>
inline constexpr std::size_t alignment_value<alignment_property<K>> = K;
template <int Level, typename P>
inline constexpr int hint_value = 0;
template <int Level, cache_hint H>
inline constexpr int hint_value<Level, cache_hint_property<Level, H>> = static_cast<int>(H);

}  // namespace detail

// A set of properties, at most one of each kind, in any order; the type follows from the values:
// properties props{alignment<16>, cache_hint_L1<cache_hint::uncached>}.
template <typename... Props>
class properties {
  static_assert((... && (detail::property_kind<Props> >= 0)), "properties: unknown property");
  static_assert(detail::properties_distinct<Props...>(), "properties: a property is given twice");

 public:
  constexpr properties(Props...) {}
};
template <typename... Props>
properties(Props...) -> properties<Props...>;
using empty_properties_t = properties<>;

namespace detail {

using xpuemu::detail::access;

template <typename T>
struct property_list : std::false_type {};
template <typename... Props>
struct property_list<properties<Props...>> : std::true_type {
  // Assumed alignment (0: none given) and cache hints.
  static constexpr std::size_t align = (std::size_t{0} + ... + alignment_value<Props>);
  static constexpr cache_hint l1 = static_cast<cache_hint>((0 + ... + hint_value<1, Props>));
  static constexpr cache_hint l2 = static_cast<cache_hint>((0 + ... + hint_value<2, Props>));
  static constexpr cache_hint l3 = static_cast<cache_hint>((0 + ... + hint_value<3, Props>));
};
template <typename T>
inline constexpr bool is_property_list_v = property_list<std::remove_cv_t<T>>::value;
// Options of a block access: a property list or, in the older form, an alignment flags tag.
template <typename T>
inline constexpr bool is_block_option_v = is_property_list_v<T> || is_simd_flag_type_v<T>;

// Cache hint pairs (L1, L2) the hardware accepts for loads and for stores.
template <cache_hint L1, cache_hint L2>
constexpr bool load_hints_ok() {
  using ch = cache_hint;
  if constexpr (L1 == ch::none) return L2 == ch::none;
  if constexpr (L1 == ch::uncached || L1 == ch::cached || L1 == ch::streaming)
    return L2 == ch::uncached || L2 == ch::cached;
  if constexpr (L1 == ch::read_invalidate) return L2 == ch::cached;
  return false;
}
template <cache_hint L1, cache_hint L2>
constexpr bool store_hints_ok() {
  using ch = cache_hint;
  if constexpr (L1 == ch::none) return L2 == ch::none;
  if constexpr (L1 == ch::write_back) return L2 == ch::write_back;
  if constexpr (L1 == ch::uncached || L1 == ch::write_through || L1 == ch::streaming)
    return L2 == ch::uncached || L2 == ch::write_back;
  return false;
}

// Block sizes (in elements) a predicated block transfer supports for elements of T.
template <typename T, int N>
constexpr bool valid_block_nelts() {
  constexpr int s = static_cast<int>(sizeof(T));
  if constexpr (s == 8 || s == 4)
    return N == 1 || N == 2 || N == 3 || N == 4 || N == 8 || N == 16 || N == 32 || N == 64 ||
           (s == 4 && N == 128);
  else if constexpr (s == 2)
    return N == 2 || N == 4 || N == 6 || N == 8 || N == 16 || N == 32 || N == 64 || N == 128 ||
           N == 256;
  else if constexpr (s == 1)
    return N == 4 || N == 8 || N == 12 || N == 16 || N == 32 || N == 64 || N == 128 || N == 256 ||
           N == 512;
  else
    return false;
}

// Alignment of a block transfer of N elements of T: dword, or qword for 8-byte elements and for
// blocks over 256 bytes.
template <typename T, int N>
constexpr std::size_t block_alignment() {
  return (sizeof(T) == 8 || N * sizeof(T) > 256) ? 8 : 4;
}

// Checks a global block access at compile time and returns the alignment its address must have.
// With a predicate or cache hints the block is a hardware block transfer (sizes of the table);
// a load assumes max(4, sizeof(T)) bytes, a store 16 (or max(4, sizeof(T)) as a block transfer),
// unless alignment<K> or a flags tag says otherwise.
template <typename T, int N, typename Opt, bool Load, bool Pred>
constexpr std::size_t global_block_alignment() {
  static_assert(is_vectorizable_v<T>, "block_load / block_store: bad element type");
  if constexpr (is_simd_flag_type_v<Opt>) {
    return flag_alignment<Opt, T, N>();
  } else {
    using P = property_list<Opt>;
    static_assert(P::l3 == cache_hint::none,
                  "block_load / block_store: cache_hint_L3 is reserved, use cache_hint_L2");
    if constexpr (Load)
      static_assert(load_hints_ok<P::l1, P::l2>(), "block_load: illegal cache hint combination");
    else
      static_assert(store_hints_ok<P::l1, P::l2>(), "block_store: illegal cache hint combination");
    constexpr bool kTransfer = Pred || P::l1 != cache_hint::none || P::l2 != cache_hint::none;
    static_assert(!kTransfer || valid_block_nelts<T, N>(),
                  "block_load / block_store with a predicate or cache hints: N not supported for "
                  "this element size (8/4-byte: 1,2,3,4,8,16,32,64 (+128 for 4-byte); 2-byte: "
                  "2,4,6,8,16,32,64,128,256; 1-byte: 4,8,12,16,32,64,128,256,512)");
    if constexpr (P::align != 0)
      return P::align;
    else if constexpr (!Load && !kTransfer)
      return 16;
    else
      return sizeof(T) > 4 ? sizeof(T) : 4;
  }
}

// Same for an SLM block: 16 bytes without a predicate, 4 (8 for 8-byte elements) with one.
template <typename T, int N, typename Opt, bool Pred>
constexpr std::size_t slm_block_alignment() {
  if constexpr (is_simd_flag_type_v<Opt>) {
    return flag_alignment<Opt, T, N>();
  } else {
    using P = property_list<Opt>;
    static_assert(
        P::l1 == cache_hint::none && P::l2 == cache_hint::none && P::l3 == cache_hint::none,
        "slm_block_load / slm_block_store: shared local memory takes no cache hints");
    static_assert(!Pred || valid_block_nelts<T, N>(),
                  "slm_block_load / slm_block_store with a predicate: unsupported block size");
    if constexpr (P::align != 0)
      return P::align;
    else if constexpr (Pred)
      return sizeof(T) == 8 ? 8 : 4;
    else
      return 16;
  }
}

// How far ahead a block load asks the host for data: the block that follows (usually the next
// work-item's tile or slice), or further for blocks the kernel streams past the cache (an
// uncached hint: weights read once), so that DRAM's latency is covered by a whole work-item's
// compute, as a GPU's many hardware threads keep a stream in flight.
inline constexpr std::size_t kStreamAhead = 2048;

// A block of N elements at byte_offset from p, into pass_thru, when `on`; Stream: the kernel
// streams it past the cache.
template <typename T, int N, std::size_t Align, bool Stream = false>
XPUEMU_SIMD_INLINE simd<T, N> global_load_block(const T* p, std::size_t byte_offset, bool on,
                                                simd<T, N> pass_thru,
                                                const char* op = "block_load") {
  if (on) {
    const char* a = reinterpret_cast<const char*>(p) + byte_offset;
    xpuemu::detail::global_access(a, N * sizeof(T), Align, access::read, op);
    // Blocks of whole cache lines only. A hint: it reads nothing and cannot fault.
    constexpr std::size_t kAhead = Stream ? kStreamAhead : N * sizeof(T);
    if constexpr (N * sizeof(T) >= 128)
      for (std::size_t line = 0; line < N * sizeof(T); line += 64)
        __builtin_prefetch(a + kAhead + line, 0, 0);
    copy_block<N * sizeof(T)>(pass_thru.data(), a);
  }
  return pass_thru;
}
template <typename T, int N, std::size_t Align>
XPUEMU_SIMD_INLINE void global_store_block(T* p, std::size_t byte_offset, const simd<T, N>& vals,
                                           bool on, const char* op = "block_store") {
  if (!on) return;
  char* a = reinterpret_cast<char*>(p) + byte_offset;
  xpuemu::detail::global_access(a, N * sizeof(T), Align, access::write, op);
  copy_block<N * sizeof(T)>(a, vals.data());
}

// out[j * (N / VS) + i] = element j at byte offset offs[i] from p, for every enabled lane i.
template <typename T, int N, int VS, typename OffsetT>
XPUEMU_SIMD_INLINE void gather_lanes(simd<T, N>& out, const T* p, const simd<OffsetT, N / VS>& offs,
                                     const simd_mask<N / VS>& mask) {
  static_assert(VS >= 1 && N % VS == 0, "gather: N must be a multiple of VS");
  static_assert(std::is_integral_v<OffsetT>, "gather: offsets must be integers");
  constexpr int kLanes = N / VS;
  const char* base = reinterpret_cast<const char*>(p);
  for (int i = 0; i < kLanes; ++i) {
    if (!mask.data()[i]) continue;
    const char* a = base + static_cast<std::ptrdiff_t>(offs.data()[i]);
    xpuemu::detail::global_access(a, VS * sizeof(T), sizeof(T), access::read, "gather");
    for (int j = 0; j < VS; ++j)
      std::memcpy(out.data() + j * kLanes + i, a + j * sizeof(T), sizeof(T));
  }
}

template <typename T, int N>
XPUEMU_SIMD_INLINE simd<T, N> slm_load_block(std::uint32_t off, std::size_t align, const char* op) {
  simd<T, N> r(uninit);
  const std::byte* p = xpuemu::detail::slm_access(off, N * sizeof(T), align, access::read, op);
  copy_block<N * sizeof(T)>(r.data(), p);
  return r;
}
template <typename T, int N>
XPUEMU_SIMD_INLINE void slm_store_block(std::uint32_t off, const simd<T, N>& v, std::size_t align,
                                        const char* op) {
  std::byte* p = xpuemu::detail::slm_access(off, N * sizeof(T), align, access::write, op);
  copy_block<N * sizeof(T)>(p, v.data());
}

}  // namespace detail

// ---- block transfers to and from global memory
// ----------------------------------------------------

// N contiguous elements at ptr (plus byte_offset bytes). Opt is a property list (alignment<K>,
// cache_hint_L1/L2) or, in the older form, an alignment flags tag. A zero predicate skips the
// access: the result is zero, or pass_thru.
template <typename T, int N, typename Opt = empty_properties_t,
          typename = std::enable_if_t<detail::is_block_option_v<Opt>>>
XPUEMU_SIMD_INLINE simd<T, N> block_load(const T* ptr, Opt = {}) {
  constexpr std::size_t kAlign = detail::global_block_alignment<T, N, Opt, true, false>();
  return detail::global_load_block<T, N, kAlign>(ptr, 0, true, simd<T, N>(detail::uninit));
}
template <typename T, int N, typename PropertyListT = empty_properties_t,
          typename = std::enable_if_t<detail::is_property_list_v<PropertyListT>>>
XPUEMU_SIMD_INLINE simd<T, N> block_load(const T* ptr, std::size_t byte_offset,
                                         PropertyListT = {}) {
  constexpr std::size_t kAlign = detail::global_block_alignment<T, N, PropertyListT, true, false>();
  return detail::global_load_block<T, N, kAlign>(ptr, byte_offset, true,
                                                 simd<T, N>(detail::uninit));
}
template <typename T, int N, typename PropertyListT = empty_properties_t,
          typename = std::enable_if_t<detail::is_property_list_v<PropertyListT>>>
XPUEMU_SIMD_INLINE simd<T, N> block_load(const T* ptr, std::size_t byte_offset, simd_mask<1> pred,
                                         simd<T, N> pass_thru, PropertyListT = {}) {
  constexpr std::size_t kAlign = detail::global_block_alignment<T, N, PropertyListT, true, true>();
  return detail::global_load_block<T, N, kAlign>(ptr, byte_offset, pred.data()[0] != 0, pass_thru);
}
template <typename T, int N, typename PropertyListT = empty_properties_t,
          typename = std::enable_if_t<detail::is_property_list_v<PropertyListT>>>
XPUEMU_SIMD_INLINE simd<T, N> block_load(const T* ptr, std::size_t byte_offset, simd_mask<1> pred,
                                         PropertyListT props = {}) {
  return block_load<T, N>(ptr, byte_offset, pred, simd<T, N>(), props);
}
template <typename T, int N, typename PropertyListT = empty_properties_t,
          typename = std::enable_if_t<detail::is_property_list_v<PropertyListT>>>
XPUEMU_SIMD_INLINE simd<T, N> block_load(const T* ptr, simd_mask<1> pred, simd<T, N> pass_thru,
                                         PropertyListT props = {}) {
  return block_load<T, N>(ptr, 0, pred, pass_thru, props);
}
template <typename T, int N, typename PropertyListT = empty_properties_t,
          typename = std::enable_if_t<detail::is_property_list_v<PropertyListT>>>
XPUEMU_SIMD_INLINE simd<T, N> block_load(const T* ptr, simd_mask<1> pred,
                                         PropertyListT props = {}) {
  return block_load<T, N>(ptr, 0, pred, simd<T, N>(), props);
}

// Stores vals at ptr (plus byte_offset bytes); options and predicate as for block_load.
template <typename T, int N, typename Opt = empty_properties_t,
          typename = std::enable_if_t<detail::is_block_option_v<Opt>>>
XPUEMU_SIMD_INLINE void block_store(T* ptr, simd<T, N> vals, Opt = {}) {
  constexpr std::size_t kAlign = detail::global_block_alignment<T, N, Opt, false, false>();
  detail::global_store_block<T, N, kAlign>(ptr, 0, vals, true);
}
template <typename T, int N, typename PropertyListT = empty_properties_t,
          typename = std::enable_if_t<detail::is_property_list_v<PropertyListT>>>
XPUEMU_SIMD_INLINE void block_store(T* ptr, std::size_t byte_offset, simd<T, N> vals,
                                    PropertyListT = {}) {
  constexpr std::size_t kAlign =
      detail::global_block_alignment<T, N, PropertyListT, false, false>();
  detail::global_store_block<T, N, kAlign>(ptr, byte_offset, vals, true);
}
template <typename T, int N, typename PropertyListT = empty_properties_t,
          typename = std::enable_if_t<detail::is_property_list_v<PropertyListT>>>
XPUEMU_SIMD_INLINE void block_store(T* ptr, std::size_t byte_offset, simd<T, N> vals,
                                    simd_mask<1> pred, PropertyListT = {}) {
  constexpr std::size_t kAlign = detail::global_block_alignment<T, N, PropertyListT, false, true>();
  detail::global_store_block<T, N, kAlign>(ptr, byte_offset, vals, pred.data()[0] != 0);
}
template <typename T, int N, typename PropertyListT = empty_properties_t,
          typename = std::enable_if_t<detail::is_property_list_v<PropertyListT>>>
XPUEMU_SIMD_INLINE void block_store(T* ptr, simd<T, N> vals, simd_mask<1> pred,
                                    PropertyListT props = {}) {
  block_store<T, N>(ptr, 0, vals, pred, props);
}

// ---- gather from global memory
// --------------------------------------------------------------------

// Lane i reads the VS elements at byte offset byte_offsets[i] from p (VS-major result) when
// mask[i] is set; other lanes are zero (or pass_thru).
template <typename T, int N, int VS = 1, typename OffsetT>
XPUEMU_SIMD_INLINE simd<T, N> gather(const T* p, simd<OffsetT, N / VS> byte_offsets,
                                     simd_mask<N / VS> mask = 1) {
  simd<T, N> r;
  detail::gather_lanes<T, N, VS>(r, p, byte_offsets, mask);
  return r;
}
template <typename T, int N, int VS = 1, typename OffsetT>
XPUEMU_SIMD_INLINE simd<T, N> gather(const T* p, simd<OffsetT, N / VS> byte_offsets,
                                     simd_mask<N / VS> mask, simd<T, N> pass_thru) {
  detail::gather_lanes<T, N, VS>(pass_thru, p, byte_offsets, mask);
  return pass_thru;
}
template <typename T, int N, int VS = 1, typename OB, typename OR>
XPUEMU_SIMD_INLINE simd<T, N> gather(const T* p, simd_view<OB, OR> byte_offsets,
                                     simd_mask<N / VS> mask = 1) {
  return gather<T, N, VS>(p, byte_offsets.read(), mask);
}
template <typename T, int N, int VS = 1, typename OB, typename OR>
XPUEMU_SIMD_INLINE simd<T, N> gather(const T* p, simd_view<OB, OR> byte_offsets,
                                     simd_mask<N / VS> mask, simd<T, N> pass_thru) {
  return gather<T, N, VS>(p, byte_offsets.read(), mask, pass_thru);
}
// N deduced from the offsets.
template <typename T, typename OffsetT, int N>
XPUEMU_SIMD_INLINE simd<T, N> gather(const T* p, simd<OffsetT, N> byte_offsets,
                                     simd_mask<N> mask = 1) {
  return gather<T, N, 1>(p, byte_offsets, mask);
}

// ---- shared local memory
// ---------------------------------------------------------------------------

// Reserves `size` bytes of SLM for the work-group; offsets then run from 0 to size.
template <std::uint32_t Size>
XPUEMU_SIMD_INLINE void slm_init() {
  xpuemu::detail::slm_init(Size);
}
XPUEMU_SIMD_INLINE void slm_init(std::uint32_t size) {
  xpuemu::detail::slm_init(size);
}

// N contiguous elements at a byte offset, 16-byte aligned unless alignment<K> or a flags tag says
// otherwise. With a predicate: block sizes of the block-transfer table, 4-byte alignment (8 for
// 8-byte elements); a zero predicate skips the access (the result is zero, or pass_thru).
template <typename T, int N, typename Opt = empty_properties_t,
          typename = std::enable_if_t<detail::is_block_option_v<Opt>>>
XPUEMU_SIMD_INLINE simd<T, N> slm_block_load(std::uint32_t byte_offset, Opt = {}) {
  return detail::slm_load_block<T, N>(byte_offset, detail::slm_block_alignment<T, N, Opt, false>(),
                                      "slm_block_load");
}
template <typename T, int N, typename PropertyListT = empty_properties_t,
          typename = std::enable_if_t<detail::is_property_list_v<PropertyListT>>>
XPUEMU_SIMD_INLINE simd<T, N> slm_block_load(std::uint32_t byte_offset, simd_mask<1> pred,
                                             simd<T, N> pass_thru, PropertyListT = {}) {
  constexpr std::size_t kAlign = detail::slm_block_alignment<T, N, PropertyListT, true>();
  if (!pred.data()[0]) return pass_thru;
  return detail::slm_load_block<T, N>(byte_offset, kAlign, "slm_block_load");
}
template <typename T, int N, typename PropertyListT = empty_properties_t,
          typename = std::enable_if_t<detail::is_property_list_v<PropertyListT>>>
XPUEMU_SIMD_INLINE simd<T, N> slm_block_load(std::uint32_t byte_offset, simd_mask<1> pred,
                                             PropertyListT props = {}) {
  return slm_block_load<T, N>(byte_offset, pred, simd<T, N>(), props);
}

template <typename T, int N, typename Opt = empty_properties_t,
          typename = std::enable_if_t<detail::is_block_option_v<Opt>>>
XPUEMU_SIMD_INLINE void slm_block_store(std::uint32_t byte_offset, simd<T, N> vals, Opt = {}) {
  detail::slm_store_block<T, N>(byte_offset, vals, detail::slm_block_alignment<T, N, Opt, false>(),
                                "slm_block_store");
}
template <typename T, int N, typename PropertyListT = empty_properties_t,
          typename = std::enable_if_t<detail::is_property_list_v<PropertyListT>>>
XPUEMU_SIMD_INLINE void slm_block_store(std::uint32_t byte_offset, simd<T, N> vals,
                                        simd_mask<1> pred, PropertyListT = {}) {
  constexpr std::size_t kAlign = detail::slm_block_alignment<T, N, PropertyListT, true>();
  if (pred.data()[0]) detail::slm_store_block<T, N>(byte_offset, vals, kAlign, "slm_block_store");
}

// Lane i writes VS consecutive elements (vals[j * (N / VS) + i]) at byte_offsets[i] when mask[i].
template <typename T, int N, int VS = 1>
XPUEMU_SIMD_INLINE void slm_scatter(simd<std::uint32_t, N / VS> byte_offsets, simd<T, N> vals,
                                    simd_mask<N / VS> mask = 1) {
  static_assert(VS >= 1 && N % VS == 0, "slm_scatter: N must be a multiple of VS");
  constexpr int kLanes = N / VS;
  for (int i = 0; i < kLanes; ++i) {
    if (!mask.data()[i]) continue;
    std::byte* p = xpuemu::detail::slm_access(byte_offsets.data()[i], VS * sizeof(T), sizeof(T),
                                              detail::access::write, "slm_scatter");
    for (int j = 0; j < VS; ++j)
      std::memcpy(p + j * sizeof(T), vals.data() + j * kLanes + i, sizeof(T));
  }
}

// Gather counterpart of slm_scatter; masked lanes are zero (or pass_thru).
template <typename T, int N, int VS = 1>
XPUEMU_SIMD_INLINE simd<T, N> slm_gather(simd<std::uint32_t, N / VS> byte_offsets,
                                         simd_mask<N / VS> mask, simd<T, N> pass_thru) {
  static_assert(VS >= 1 && N % VS == 0, "slm_gather: N must be a multiple of VS");
  constexpr int kLanes = N / VS;
  for (int i = 0; i < kLanes; ++i) {
    if (!mask.data()[i]) continue;
    const std::byte* p = xpuemu::detail::slm_access(byte_offsets.data()[i], VS * sizeof(T),
                                                    sizeof(T), detail::access::read, "slm_gather");
    for (int j = 0; j < VS; ++j)
      std::memcpy(pass_thru.data() + j * kLanes + i, p + j * sizeof(T), sizeof(T));
  }
  return pass_thru;
}
template <typename T, int N, int VS = 1>
XPUEMU_SIMD_INLINE simd<T, N> slm_gather(simd<std::uint32_t, N / VS> byte_offsets,
                                         simd_mask<N / VS> mask = 1) {
  return slm_gather<T, N, VS>(byte_offsets, mask, simd<T, N>());
}

template <typename T>
XPUEMU_SIMD_INLINE T slm_scalar_load(std::uint32_t byte_offset) {
  static_assert(detail::is_vectorizable_v<T>, "slm_scalar_load: bad element type");
  T v;
  std::memcpy(static_cast<void*>(&v),
              xpuemu::detail::slm_access(byte_offset, sizeof(T), sizeof(T), detail::access::read,
                                         "slm_scalar_load"),
              sizeof(T));
  return v;
}
template <typename T>
XPUEMU_SIMD_INLINE void slm_scalar_store(std::uint32_t byte_offset, T val) {
  static_assert(detail::is_vectorizable_v<T>, "slm_scalar_store: bad element type");
  std::memcpy(xpuemu::detail::slm_access(byte_offset, sizeof(T), sizeof(T), detail::access::write,
                                         "slm_scalar_store"),
              &val, sizeof(T));
}

// ---- synchronisation
// -------------------------------------------------------------------------------

// Memory fence; every kind orders all memory on the host.
template <std::uint8_t ctrl>
XPUEMU_SIMD_INLINE void fence() {
  std::atomic_thread_fence(std::memory_order_seq_cst);
}
XPUEMU_SIMD_INLINE void fence(fence_mask) {
  std::atomic_thread_fence(std::memory_order_seq_cst);
}

// Work-group barrier: waits for every work-item of the group at the same barrier. The call site
// (filled in by the compiler) tells barriers apart. A group's work-items all run on one host
// thread, so their accesses are already ordered by the switch: the barrier needs no fence.
XPUEMU_SIMD_INLINE void barrier(const char* file = __builtin_FILE(),
                                unsigned line = __builtin_LINE()) {
  xpuemu::detail::barrier(file, line);
}

}  // namespace ext::intel::esimd
}  // namespace _V1
}  // namespace sycl
