// ESIMD memory access: gather from global memory, shared local memory (SLM) and synchronisation.
// Every access goes through the runtime's checking hooks before memory is touched; masked-off
// lanes and predicated-off blocks make no call and no access.
#pragma once

#include <atomic>

#include "sycl/ext/intel/esimd/simd.hpp"

namespace sycl {
inline namespace _V1 {
namespace ext::intel::esimd {

namespace detail {

using xpuemu::detail::access;

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
  std::memcpy(r.data(), p, N * sizeof(T));
  return r;
}
template <typename T, int N>
XPUEMU_SIMD_INLINE void slm_store_block(std::uint32_t off, const simd<T, N>& v, std::size_t align,
                                        const char* op) {
  std::byte* p = xpuemu::detail::slm_access(off, N * sizeof(T), align, access::write, op);
  std::memcpy(static_cast<void*>(p), v.data(), N * sizeof(T));
}

}  // namespace detail

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

// N contiguous elements at a byte offset; the offset must be 16-byte aligned unless a flags tag
// says otherwise. With a predicate: dword alignment, block sizes of the block-transfer table.
template <typename T, int N>
XPUEMU_SIMD_INLINE simd<T, N> slm_block_load(std::uint32_t byte_offset) {
  return detail::slm_load_block<T, N>(byte_offset, 16, "slm_block_load");
}
template <typename T, int N, typename Flags,
          typename = std::enable_if_t<is_simd_flag_type_v<Flags>>>
XPUEMU_SIMD_INLINE simd<T, N> slm_block_load(std::uint32_t byte_offset, Flags) {
  return detail::slm_load_block<T, N>(byte_offset, detail::flag_alignment<Flags, T, N>(),
                                      "slm_block_load");
}
template <typename T, int N>
XPUEMU_SIMD_INLINE simd<T, N> slm_block_load(std::uint32_t byte_offset, simd_mask<1> pred,
                                             simd<T, N> pass_thru = {}) {
  static_assert(detail::valid_block_nelts<T, N>(), "slm_block_load: unsupported block size");
  if (!pred.data()[0]) return pass_thru;
  return detail::slm_load_block<T, N>(byte_offset, detail::block_alignment<T, N>(),
                                      "slm_block_load");
}

template <typename T, int N>
XPUEMU_SIMD_INLINE void slm_block_store(std::uint32_t byte_offset, simd<T, N> vals) {
  detail::slm_store_block<T, N>(byte_offset, vals, 16, "slm_block_store");
}
template <typename T, int N, typename Flags,
          typename = std::enable_if_t<is_simd_flag_type_v<Flags>>>
XPUEMU_SIMD_INLINE void slm_block_store(std::uint32_t byte_offset, simd<T, N> vals, Flags) {
  detail::slm_store_block<T, N>(byte_offset, vals, detail::flag_alignment<Flags, T, N>(),
                                "slm_block_store");
}
template <typename T, int N>
XPUEMU_SIMD_INLINE void slm_block_store(std::uint32_t byte_offset, simd<T, N> vals,
                                        simd_mask<1> pred) {
  static_assert(detail::valid_block_nelts<T, N>(), "slm_block_store: unsupported block size");
  if (pred.data()[0])
    detail::slm_store_block<T, N>(byte_offset, vals, detail::block_alignment<T, N>(),
                                  "slm_block_store");
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

// Work-group barrier: a fence, then wait for every work-item of the group.
XPUEMU_SIMD_INLINE void barrier() {
  std::atomic_thread_fence(std::memory_order_seq_cst);
  xpuemu::detail::barrier();
}

}  // namespace ext::intel::esimd
}  // namespace _V1
}  // namespace sycl
