// Module `vantrel_native`: the arithmetic of vantrel's kernels as plain vector loops on the host,
// the yardsticks the emulated device is measured against (bench/report.py).
//
// Each loop performs exactly the kernel's operations in the kernel's order, every binary16
// operation computed in float and rounded to half on its own (float's 24 bits make that one
// correct rounding), so its output is bit for bit the operator's. Everything else is free: loop
// order, vectorisation (AVX2 + F16C, 8 lanes), interleaving of independent chains, all cores.
// Rows at or past M are not computed. Each call times itself (best of `reps`) and reports the
// distinct bytes it reads, which are the bytes the kernel's launch reads once each. The widths and
// head sizes served, the row limit and the score scale come from the kernels' table (catalog.hpp).
#include <immintrin.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "vantrel/kernels/catalog.hpp"

namespace py = pybind11;
namespace vk = vantrel::kernels;

namespace {

// ---- binary16 helpers ---------------------------------------------------------------------------

constexpr int kRound = _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC;

// Float lanes rounded to the nearest half (ties to even), kept as float.
inline __m256 rh(__m256 x) {
  return _mm256_cvtph_ps(_mm256_cvtps_ph(x, kRound));
}
inline __m128 rh(__m128 x) {
  return _mm_cvtph_ps(_mm_cvtps_ph(x, kRound));
}

inline __m256 load8(const uint16_t* p) {
  return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
inline void store8(uint16_t* p, __m256 x) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_cvtps_ph(x, kRound));
}
// The weights and the key/value rows are read once, as a few interleaved streams: asking for
// them 4 KB ahead doubles the rate at which DRAM delivers them here.
constexpr size_t kAhead = 2048;  // halves
inline void prefetch(const uint16_t* p) {
  _mm_prefetch(reinterpret_cast<const char*>(p + kAhead), _MM_HINT_T0);
}

inline float h2f(uint16_t h) {
  return _cvtsh_ss(h);
}

// a + b and a * b in half (operands are half values held in float).
inline __m256 hadd(__m256 a, __m256 b) {
  return rh(_mm256_add_ps(a, b));
}
inline __m256 hmul(__m256 a, __m256 b) {
  return rh(_mm256_mul_ps(a, b));
}
inline float hadd(float a, float b) {
  return _mm_cvtss_f32(rh(_mm_set_ss(a + b)));
}

// Half lanes 0..15 (lo = 0..7, hi = 8..15) folded by halving: 8 += upper 8, 4, 2, then 0 + 1.
inline float fold16(__m256 lo, __m256 hi) {
  const __m256 t8 = hadd(lo, hi);
  const __m128 t4 = rh(_mm_add_ps(_mm256_castps256_ps128(t8), _mm256_extractf128_ps(t8, 1)));
  const __m128 t2 = rh(_mm_add_ps(t4, _mm_movehl_ps(t4, t4)));
  return hadd(_mm_cvtss_f32(t2), _mm_cvtss_f32(_mm_shuffle_ps(t2, t2, 1)));
}

// Input rows converted to float once (exact), so the inner loops broadcast or load floats;
// 64-byte aligned, so that no vector load straddles two cache lines.
struct free_deleter {
  void operator()(float* p) const { std::free(p); }
};
std::unique_ptr<float[], free_deleter> to_float(const uint16_t* x, size_t n) {
  auto* f = static_cast<float*>(std::aligned_alloc(64, (n * sizeof(float) + 63) / 64 * 64));
  if (!f) throw std::bad_alloc();
  for (size_t i = 0; i < n; ++i) f[i] = h2f(x[i]);
  return std::unique_ptr<float[], free_deleter>(f);
}

// ---- threads and timing -------------------------------------------------------------------------

int thread_count(int requested) {
  if (requested > 0) return requested;
  return std::max(1u, std::thread::hardware_concurrency());
}

// body(begin, end) over [0, units) in chunks handed out on demand, so a core taken by another
// process slows the loop down rather than leaving half of it waiting.
template <typename F>
void parallel_chunks(size_t units, size_t chunk, int threads, const F& body) {
  std::atomic<size_t> next{0};
  auto worker = [&] {
    for (;;) {
      const size_t b = next.fetch_add(chunk);
      if (b >= units) return;
      body(b, std::min(units, b + chunk));
    }
  };
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t) pool.emplace_back(worker);
  worker();
  for (auto& t : pool) t.join();
}

// Best wall time of `reps` runs of fn (the first run included: the data is already resident or
// not, as for the operator timed beside it).
template <typename F>
double best_seconds(int reps, const F& fn) {
  double best = std::numeric_limits<double>::infinity();
  for (int i = 0; i < std::max(1, reps); ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    const std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
    best = std::min(best, d.count());
  }
  return best;
}

py::dict report(double seconds, double bytes) {
  py::dict d;
  d["seconds"] = seconds;
  d["bytes"] = bytes;
  d["gbps"] = bytes / seconds / 1e9;
  return d;
}

// ---- argument checks ----------------------------------------------------------------------------

using Shape = std::vector<py::ssize_t>;

// "a, b or c" of a list of the table.
template <typename List>
std::string one_of(const List& list) {
  std::string s;
  for (size_t i = 0; i < list.size(); ++i)
    s += (i == 0 ? "" : i + 1 == list.size() ? " or " : ", ") + std::to_string(list[i]);
  return s;
}

// Rows 1 .. kLinearMaxRows and N a multiple of the family's n_multiple.
void check_rows(py::ssize_t M, py::ssize_t N, const vk::linear_family& family) {
  if (M < 1 || M > vk::kLinearMaxRows || N % family.n_multiple)
    throw std::invalid_argument("need 1 <= M <= " + std::to_string(vk::kLinearMaxRows) +
                                " and N % " + std::to_string(family.n_multiple) + " == 0");
}

std::string shape_str(const py::array& a) {
  std::string s = "[";
  for (py::ssize_t d = 0; d < a.ndim(); ++d) s += (d ? ", " : "") + std::to_string(a.shape(d));
  return s + "]";
}

// A C-contiguous array of element type `type` (numpy kind and size) and the given shape (an
// empty shape: any shape, `count` elements).
struct element_type {
  char kind;
  py::ssize_t size;
  const char* name;
};
constexpr element_type kHalf{'f', 2, "float16"}, kUint8{'u', 1, "uint8"}, kInt16{'i', 2, "int16"};

void check_array(const py::array& a, const char* name, element_type type, const Shape& shape,
                 size_t count = 0) {
  if (a.dtype().kind() != type.kind || a.itemsize() != type.size ||
      !(a.flags() & py::array::c_style))
    throw std::invalid_argument(std::string(name) + " must be a C-contiguous " + type.name +
                                " array");
  bool ok = shape.empty() ? size_t(a.size()) == count : a.ndim() == py::ssize_t(shape.size());
  for (size_t d = 0; ok && d < shape.size(); ++d) ok = a.shape(d) == shape[d];
  if (!ok)
    throw std::invalid_argument(std::string(name) + " has shape " + shape_str(a) +
                                (shape.empty() ? ", expected " + std::to_string(count) + " elements"
                                               : ", expected another"));
}

void check_half(const py::array& a, const char* name, const Shape& shape, size_t count = 0) {
  check_array(a, name, kHalf, shape, count);
}

const uint16_t* cdata(const py::array& a) {
  return static_cast<const uint16_t*>(a.data());
}
uint16_t* wdata(py::array& a) {
  if (!a.writeable()) throw std::invalid_argument("out must be writeable");
  return static_cast<uint16_t*>(a.mutable_data());
}

// ---- kernel A family: the arranged widths, weights pre-arranged [N/16][K][16] -------------------
//
// Output block g (features 16g..16g+15), row m: the partial sum P_w of work-item w runs over its
// F = K/64 features F*w..F*w+F-1 in order from 0; the even and the odd P_w of each half (w < 32,
// w >= 32) are chained in order, each half gives even + odd, the output is half0 + half1.
// A block's 16 outputs are two vectors of 8 lanes.
static_assert(vk::kBlockOutputs == 16, "the loops hold a block of outputs in two 8-lane vectors");

// Partial sums of R rows x W consecutive work-items (R * W = 4: eight independent chains, enough
// to hide the conversion latency for any M). P[v][r][c]: work-item w0 + v, row r, lanes 8c..8c+7.
// `tiles`: the F x 16 tile of work-item w0 + v at tiles + 16 F v. Stream: the tiles are read
// from memory once (prefetched), not from a buffer in the cache.
template <int F, int R, int W, bool Stream>
inline void partials_arranged(const uint16_t* tiles, const float* const* x, int w0,
                              __m256 (&P)[4][4][2]) {
  __m256 acc[W][R][2];
  for (int v = 0; v < W; ++v)
    for (int r = 0; r < R; ++r) acc[v][r][0] = acc[v][r][1] = _mm256_setzero_ps();
  for (int k = 0; k < F; ++k)
    for (int v = 0; v < W; ++v) {
      const uint16_t* tile = tiles + 16 * F * v + 16 * k;
      if (Stream && k % 2 == 0) prefetch(tile);
      const __m256 lo = load8(tile), hi = load8(tile + 8);
      for (int r = 0; r < R; ++r) {
        const __m256 xr = _mm256_broadcast_ss(x[r] + F * (w0 + v) + k);
        acc[v][r][0] = hadd(acc[v][r][0], hmul(lo, xr));
        acc[v][r][1] = hadd(acc[v][r][1], hmul(hi, xr));
      }
    }
  for (int v = 0; v < W; ++v)
    for (int r = 0; r < R; ++r) P[v][r][0] = acc[v][r][0], P[v][r][1] = acc[v][r][1];
}

// One block of 16 outputs; tiles(w0) gives the tiles of work-items w0 .. w0 + 3 (see
// partials_arranged), called once per w0 in increasing order.
template <int F, bool Stream, typename Tiles>
void block_arranged(const Tiles& tiles, const float* x, int M, uint16_t* out, size_t ldo) {
  constexpr size_t K = 64 * F;
  __m256 chain[2][2][vk::kLinearMaxRows][2];  // [half of the work-items][parity][row][lanes]
  for (int w0 = 0; w0 < 64; w0 += 4) {
    const uint16_t* four = tiles(w0);
    for (int m0 = 0; m0 < M;) {
      const int R = M - m0 >= 4 ? 4 : M - m0 >= 2 ? 2 : 1;
      const float* rows[4];
      for (int r = 0; r < R; ++r) rows[r] = x + size_t(m0 + r) * K;
      for (int v0 = 0; v0 < 4; v0 += 4 / R) {
        __m256 P[4][4][2];
        const uint16_t* t = four + 16 * F * v0;
        if (R == 4) partials_arranged<F, 4, 1, Stream>(t, rows, w0 + v0, P);
        if (R == 2) partials_arranged<F, 2, 2, Stream>(t, rows, w0 + v0, P);
        if (R == 1) partials_arranged<F, 1, 4, Stream>(t, rows, w0 + v0, P);
        for (int v = 0; v < 4 / R; ++v) {
          const int w = w0 + v0 + v, h = w / 32, i = w % 32;
          for (int r = 0; r < R; ++r)
            for (int c = 0; c < 2; ++c) {
              __m256& s = chain[h][i % 2][m0 + r][c];
              s = i < 2 ? P[v][r][c] : hadd(s, P[v][r][c]);
            }
        }
      }
      m0 += R;
    }
  }
  for (int m = 0; m < M; ++m)
    for (int c = 0; c < 2; ++c) {
      const __m256 y0 = hadd(chain[0][0][m][c], chain[0][1][m][c]);
      const __m256 y1 = hadd(chain[1][0][m][c], chain[1][1][m][c]);
      store8(out + size_t(m) * ldo + 8 * c, hadd(y0, y1));
    }
}

template <int F>
double run_arranged(const uint16_t* wp, const uint16_t* xp, uint16_t* op, size_t M, size_t N,
                    int reps, int threads) {
  constexpr size_t K = 64 * F;
  return best_seconds(reps, [&] {
    const auto xf = to_float(xp, M * K);
    constexpr size_t B = vk::kBlockOutputs;
    parallel_chunks(N / B, 8, threads, [&](size_t b, size_t e) {
      for (size_t g = b; g < e; ++g) {
        const uint16_t* block = wp + g * B * K;
        block_arranged<F, true>([&](int w0) { return block + 16 * F * w0; }, xf.get(), int(M),
                                op + B * g, N);
      }
    });
  });
}

py::dict linear_arranged(const py::array& x, const py::array& w, py::array& out, int reps,
                         int threads) {
  if (x.ndim() != 2 || out.ndim() != 2) throw std::invalid_argument("x and out must be 2-D");
  const py::ssize_t M = x.shape(0), K = x.shape(1), N = out.shape(1);
  if (vk::linear_layout(K) != vk::weight_layout::arranged)
    throw std::invalid_argument("x must have " + one_of(vk::kArrangedWidths) + " features");
  check_rows(M, N, vk::kArrangedFamily);
  check_half(x, "x", {M, K});
  check_half(out, "out", {M, N});
  check_half(w, "w", {}, size_t(N) * size_t(K));
  const uint16_t* wp = cdata(w);
  const uint16_t* xp = cdata(x);
  uint16_t* op = wdata(out);
  const int nt = thread_count(threads);
  double t = 0;
  {
    py::gil_scoped_release release;
    switch (K) {  // one instantiation per arranged width: F = K / 64 features per work-item
#define VANTREL_ARRANGED_CASE(width)                                 \
  case width:                                                        \
    static_assert(width % 64 == 0, "64 work-items share the width"); \
    t = run_arranged<width / 64>(wp, xp, op, M, N, reps, nt);        \
    break;
      VANTREL_ARRANGED_WIDTHS(VANTREL_ARRANGED_CASE)
#undef VANTREL_ARRANGED_CASE
    }
  }
  return report(t, 2.0 * double(N + M) * double(K));
}

// ---- kernel B family: the row-major widths, weights [N][K] --------------------------------------
//
// Feature n, row m: work-item a (0..10) sums in 16 lanes over its 128-wide slices a + 11j in
// order of j, 8 chunks of 16 per slice (the partial last slice of a width that 128 does not divide,
// K % 128 elements, in its K % 128 / 16 chunks); a lane tree folds the lanes to P_a; with
// P_11 = 0, S_s = (P_s + P_s+4) + P_s+8 and y = (S0 + S2) + (S1 + S3).
//
// A work-item's slices come in increasing order, so walking a weight row's slices in memory order
// and adding slice s to the lanes of its work-item (s mod 11) keeps every lane's order. Up to
// eight consecutive slices belong to as many different work-items: their chains are interleaved.

inline int slice_owner(int s) {
  return s % 11;
}

// Every row-major width is a whole number of 16-element chunks.
#define VANTREL_SLICED_WIDTH(width) \
  static_assert(width % 16 == 0, "a row-major width is a whole number of chunks");
VANTREL_ROW_MAJOR_WIDTHS(VANTREL_SLICED_WIDTH)
#undef VANTREL_SLICED_WIDTH

// Slices s0..s0+S-1 of weight row `w`, their first `chunks` chunks of 16, into the lanes
// acc[a][r] of rows r < R (R * S <= 4: eight chains in registers).
template <int R, int S, bool Stream>
inline void slices_row_major(const uint16_t* w, const float* const* x, int s0, float (*acc)[4][16],
                             int chunks = 8) {
  __m256 v[S][R][2];
  for (int i = 0; i < S; ++i)
    for (int r = 0; r < R; ++r)
      for (int c = 0; c < 2; ++c) v[i][r][c] = _mm256_load_ps(acc[slice_owner(s0 + i)][r] + 8 * c);
  for (int q = 0; q < chunks; ++q)
    for (int i = 0; i < S; ++i) {
      const size_t e = 128 * size_t(s0 + i) + 16 * q;
      if (Stream && q % 2 == 0) prefetch(w + e);
      const __m256 lo = load8(w + e), hi = load8(w + e + 8);
      for (int r = 0; r < R; ++r) {
        v[i][r][0] = hadd(v[i][r][0], hmul(lo, _mm256_loadu_ps(x[r] + e)));
        v[i][r][1] = hadd(v[i][r][1], hmul(hi, _mm256_loadu_ps(x[r] + e + 8)));
      }
    }
  for (int i = 0; i < S; ++i)
    for (int r = 0; r < R; ++r)
      for (int c = 0; c < 2; ++c) _mm256_store_ps(acc[slice_owner(s0 + i)][r] + 8 * c, v[i][r][c]);
}

// Feature n (weight row w of K elements) for all M rows. Stream: as in partials_arranged.
template <bool Stream>
void feature_row_major(const uint16_t* w, const float* x, int M, int K, uint16_t* out, size_t ldo) {
  const int slices = K / 128, tail_chunks = K % 128 / 16;  // whole slices, then the partial one
  for (int m0 = 0; m0 < M;) {
    const int R = M - m0 >= 4 ? 4 : M - m0 >= 2 ? 2 : 1;
    const float* rows[4];
    for (int r = 0; r < R; ++r) rows[r] = x + size_t(m0 + r) * K;
    alignas(32) float acc[11][4][16] = {};
    int s = 0;
    for (; s + 4 / R <= slices; s += 4 / R) {
      if (R == 4) slices_row_major<4, 1, Stream>(w, rows, s, acc);
      if (R == 2) slices_row_major<2, 2, Stream>(w, rows, s, acc);
      if (R == 1) slices_row_major<1, 4, Stream>(w, rows, s, acc);
    }
    if (R == 1 && s + 2 <= slices) slices_row_major<1, 2, Stream>(w, rows, s, acc), s += 2;
    for (; s < slices; ++s) {
      if (R == 2) slices_row_major<2, 1, Stream>(w, rows, s, acc);
      if (R == 1) slices_row_major<1, 1, Stream>(w, rows, s, acc);
    }
    if (tail_chunks) {  // the last slice of its work-item, so last in every lane's order
      if (R == 4) slices_row_major<4, 1, Stream>(w, rows, s, acc, tail_chunks);
      if (R == 2) slices_row_major<2, 1, Stream>(w, rows, s, acc, tail_chunks);
      if (R == 1) slices_row_major<1, 1, Stream>(w, rows, s, acc, tail_chunks);
    }
    for (int r = 0; r < R; ++r) {
      float P[12] = {};  // P_11 stays zero
      for (int a = 0; a < 11; ++a)
        P[a] = fold16(_mm256_load_ps(acc[a][r]), _mm256_load_ps(acc[a][r] + 8));
      float S[4];
      for (int i = 0; i < 4; ++i) S[i] = hadd(hadd(P[i], P[i + 4]), P[i + 8]);
      const float y = hadd(hadd(S[0], S[2]), hadd(S[1], S[3]));
      out[size_t(m0 + r) * ldo] = _cvtss_sh(y, kRound);
    }
    m0 += R;
  }
}

py::dict linear_row_major(const py::array& x, const py::array& w, py::array& out, int reps,
                          int threads) {
  if (x.ndim() != 2 || out.ndim() != 2) throw std::invalid_argument("x and out must be 2-D");
  const py::ssize_t M = x.shape(0), K = x.shape(1), N = out.shape(1);
  if (vk::linear_layout(K) != vk::weight_layout::row_major)
    throw std::invalid_argument("x must have " + one_of(vk::kRowMajorWidths) + " features");
  check_rows(M, N, vk::kRowMajorFamily);
  check_half(x, "x", {M, K});
  check_half(out, "out", {M, N});
  check_half(w, "w", {N, K});
  const uint16_t* wp = cdata(w);
  const uint16_t* xp = cdata(x);
  uint16_t* op = wdata(out);
  const int nt = thread_count(threads);
  double t;
  {
    py::gil_scoped_release release;
    t = best_seconds(reps, [&] {
      const auto xf = to_float(xp, size_t(M * K));
      parallel_chunks(size_t(N), 64, nt, [&](size_t b, size_t e) {
        for (size_t n = b; n < e; ++n)
          feature_row_major<true>(wp + n * K, xf.get(), int(M), int(K), op + n, size_t(N));
      });
    });
  }
  return report(t, 2.0 * double(N + M) * double(K));
}

// ---- packed 4- and 8-bit weights, both layouts --------------------------------------------------
//
// The packed kernels fill a work-item's tile with w = (q - z) s, computed in float (the difference
// exact, the product rounded to float) and rounded to half once, and do everything after the tile
// as the half kernels do. The loops here dequantize into a small buffer the weights the half loop
// is about to read (the four tiles of work-items w0 .. w0 + 3 of a block, or one weight row),
// then run the half loop on it: every code, scale and zero is read from memory once, and the
// dequantized weights stay in the cache.

struct packed_weights {
  const uint8_t* codes;
  const uint16_t* scales;  // half
  const int16_t* zeros;    // nullptr: symmetric codes, z = 2^(bits - 1)
  size_t group_shift;      // log2 of the group size
};

constexpr size_t kAheadBytes = 2 * kAhead;  // the codes are prefetched as far ahead as weights

// 16 codes from 2 Bits bytes as float lanes 0..7, 8..15 (at 4 bits the low nibble first). 8-bit
// codes are widened as they are loaded; 4-bit lanes shift their nibble out of a broadcast 32-bit
// word, which leaves the shuffle unit to the conversions to and from half (dequantizing then takes
// about 30 % less time than with the nibbles unpacked by byte shuffles).
template <int Bits>
inline void codes16(const uint8_t* p, __m256 (&q)[2]) {
  static_assert(Bits == 4 || Bits == 8, "4- or 8-bit codes");
  for (int c = 0; c < 2; ++c) {
    if constexpr (Bits == 8) {
      const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 8 * c));
      q[c] = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes));
    } else {
      int32_t word;
      std::memcpy(&word, p + 4 * c, sizeof(word));
      const __m256i nibbles = _mm256_srlv_epi32(_mm256_set1_epi32(word),
                                                _mm256_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28));
      q[c] = _mm256_cvtepi32_ps(_mm256_and_si256(nibbles, _mm256_set1_epi32(15)));
    }
  }
}

// (q - z) s rounded to half, 16 weights.
inline void dequantize16(const __m256 (&q)[2], const __m256 (&z)[2], const __m256 (&s)[2],
                         uint16_t* dst) {
  for (int c = 0; c < 2; ++c) store8(dst + 8 * c, _mm256_mul_ps(_mm256_sub_ps(q[c], z[c]), s[c]));
}

template <int Bits>
inline __m256 symmetric_zero() {
  return _mm256_set1_ps(float(1 << (Bits - 1)));
}

// Arranged: input features k0 .. k0 + count - 1 of block g0 (16 outputs each) into dst, feature
// k at dst + 16 (k - k0). The scales and zeros of a group are 16 consecutive elements.
template <int Bits>
void dequantize_arranged(const packed_weights& p, size_t K, size_t g0, size_t k0, size_t count,
                         uint16_t* dst) {
  constexpr size_t kFeatureBytes = 2 * Bits;
  const uint8_t* codes = p.codes + (g0 * K + k0) * kFeatureBytes;
  const size_t groups = K >> p.group_shift;
  for (size_t k = k0, end = k0 + count; k < end;) {
    const size_t j = k >> p.group_shift, stop = std::min(end, (j + 1) << p.group_shift);
    const size_t at = (g0 * groups + j) * 16;
    __m256 s[2], z[2];
    for (int c = 0; c < 2; ++c) {
      s[c] = load8(p.scales + at + 8 * c);
      z[c] = p.zeros ? _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(p.zeros + at + 8 * c))))
                     : symmetric_zero<Bits>();
    }
    for (; k < stop; ++k) {
      const uint8_t* c = codes + (k - k0) * kFeatureBytes;
      if ((k * kFeatureBytes) % 64 == 0)
        _mm_prefetch(reinterpret_cast<const char*>(c + kAheadBytes), _MM_HINT_T0);
      __m256 q[2];
      codes16<Bits>(c, q);
      dequantize16(q, z, s, dst + 16 * (k - k0));
    }
  }
}

// Row-major: weight row n (K features) into dst. A chunk of 16 features lies in one group.
template <int Bits>
void dequantize_row(const packed_weights& p, size_t K, size_t n, uint16_t* dst) {
  const size_t groups = K >> p.group_shift, group = size_t(1) << p.group_shift;
  const uint8_t* codes = p.codes + n * K * Bits / 8;
  for (size_t j = 0; j < groups; ++j) {
    const __m256 s = _mm256_set1_ps(h2f(p.scales[n * groups + j]));
    const __m256 z =
        p.zeros ? _mm256_set1_ps(float(p.zeros[n * groups + j])) : symmetric_zero<Bits>();
    for (size_t k = j * group; k < (j + 1) * group; k += 16) {
      const uint8_t* c = codes + k * Bits / 8;
      if ((k * Bits / 8) % 64 == 0)
        _mm_prefetch(reinterpret_cast<const char*>(c + kAheadBytes), _MM_HINT_T0);
      __m256 q[2];
      codes16<Bits>(c, q);
      dequantize16(q, {z, z}, {s, s}, dst + k);
    }
  }
}

template <int F, int Bits>
double run_arranged_packed(const packed_weights& p, const uint16_t* xp, uint16_t* op, size_t M,
                           size_t N, int reps, int threads) {
  constexpr size_t K = 64 * F;
  return best_seconds(reps, [&] {
    const auto xf = to_float(xp, M * K);
    constexpr size_t B = vk::kBlockOutputs;
    parallel_chunks(N / B, 8, threads, [&](size_t b, size_t e) {
      alignas(64) uint16_t four[4 * 16 * F];  // the tiles of four work-items, 16 KB at most
      for (size_t g = b; g < e; ++g)
        block_arranged<F, false>(
            [&](int w0) {
              dequantize_arranged<Bits>(p, K, g, size_t(F * w0), 4 * F, four);
              return four;
            },
            xf.get(), int(M), op + B * g, N);
    });
  });
}

template <int Bits>
double run_row_major_packed(const packed_weights& p, const uint16_t* xp, uint16_t* op, size_t M,
                            size_t N, size_t K, int reps, int threads) {
  return best_seconds(reps, [&] {
    const auto xf = to_float(xp, M * K);
    parallel_chunks(N, 64, threads, [&](size_t b, size_t e) {
      std::vector<uint16_t> row(K);
      for (size_t n = b; n < e; ++n) {
        dequantize_row<Bits>(p, K, n, row.data());
        feature_row_major<false>(row.data(), xf.get(), int(M), int(K), op + n, N);
      }
    });
  });
}

// Checks the packed operands of out[M, N] = x[M, K] @ w^T; the weights and the bytes they occupy.
std::pair<packed_weights, double> packed_operands(const py::array& x, const py::array& qweight,
                                                  const py::array& scales, const py::object& zeros,
                                                  int bits, int group_size, const py::array& out,
                                                  vk::weight_layout layout) {
  if (x.ndim() != 2 || out.ndim() != 2) throw std::invalid_argument("x and out must be 2-D");
  const py::ssize_t M = x.shape(0), K = x.shape(1), N = out.shape(1);
  const auto& family = vk::linear_family_of(layout);
  if (vk::linear_layout(K) != layout)
    throw std::invalid_argument("x must have " +
                                (layout == vk::weight_layout::arranged
                                     ? one_of(vk::kArrangedWidths)
                                     : one_of(vk::kRowMajorWidths)) +
                                " features");
  if (!vk::listed(vk::kQuantBits, bits) || !vk::listed(vk::kQuantGroupSizes, group_size) ||
      K % group_size)
    throw std::invalid_argument("bits must be " + one_of(vk::kQuantBits) + " and group_size " +
                                one_of(vk::kQuantGroupSizes) + ", dividing K");
  check_rows(M, N, family);
  check_half(x, "x", {M, K});
  check_half(out, "out", {M, N});
  const size_t codes = size_t(N) * size_t(K) * size_t(bits) / 8;
  const size_t groups = size_t(N) * size_t(K / group_size);
  check_array(qweight, "qweight", kUint8, {}, codes);
  check_array(scales, "scales", kHalf, {}, groups);
  packed_weights p{static_cast<const uint8_t*>(qweight.data()),
                   static_cast<const uint16_t*>(scales.data()), nullptr, 0};
  while ((size_t(1) << p.group_shift) < size_t(group_size)) ++p.group_shift;
  if (!zeros.is_none()) {  // the caller's own array, not a converted copy
    if (!py::isinstance<py::array>(zeros))
      throw std::invalid_argument("zeros must be a C-contiguous int16 array or None");
    const auto z = py::reinterpret_borrow<py::array>(zeros);
    check_array(z, "zeros", kInt16, {}, groups);
    p.zeros = static_cast<const int16_t*>(z.data());
  }
  const double bytes =
      double(codes) + 2.0 * double(groups) * (p.zeros ? 2 : 1) + 2.0 * double(M) * double(K);
  return {p, bytes};
}

py::dict linear_arranged_packed(const py::array& x, const py::array& qweight,
                                const py::array& scales, const py::object& zeros, int bits,
                                int group_size, py::array& out, int reps, int threads) {
  const auto [p, bytes] = packed_operands(x, qweight, scales, zeros, bits, group_size, out,
                                          vk::weight_layout::arranged);
  const size_t M = size_t(x.shape(0)), K = size_t(x.shape(1)), N = size_t(out.shape(1));
  const uint16_t* xp = cdata(x);
  uint16_t* op = wdata(out);
  const int nt = thread_count(threads);
  double t = 0;
  {
    py::gil_scoped_release release;
    switch (K) {
#define VANTREL_ARRANGED_PACKED_CASE(width)                                        \
  case width:                                                                      \
    t = bits == 4 ? run_arranged_packed<width / 64, 4>(p, xp, op, M, N, reps, nt)  \
                  : run_arranged_packed<width / 64, 8>(p, xp, op, M, N, reps, nt); \
    break;
      VANTREL_ARRANGED_WIDTHS(VANTREL_ARRANGED_PACKED_CASE)
#undef VANTREL_ARRANGED_PACKED_CASE
    }
  }
  return report(t, bytes);
}

py::dict linear_row_major_packed(const py::array& x, const py::array& qweight,
                                 const py::array& scales, const py::object& zeros, int bits,
                                 int group_size, py::array& out, int reps, int threads) {
  const auto [p, bytes] = packed_operands(x, qweight, scales, zeros, bits, group_size, out,
                                          vk::weight_layout::row_major);
  const size_t M = size_t(x.shape(0)), K = size_t(x.shape(1)), N = size_t(out.shape(1));
  const uint16_t* xp = cdata(x);
  uint16_t* op = wdata(out);
  const int nt = thread_count(threads);
  double t;
  {
    py::gil_scoped_release release;
    t = bits == 4 ? run_row_major_packed<4>(p, xp, op, M, N, K, reps, nt)
                  : run_row_major_packed<8>(p, xp, op, M, N, K, reps, nt);
  }
  return report(t, bytes);
}

// ---- fp16 attention, one decoding step ----------------------------------------------------------
//
// Per head of D elements: score_t = q.k_t in half (16 lanes over D/16 chunks, halving fold),
// w_t = exp2(float(score_t) * s) in float with the table's score scale s of D; out =
// sum_t v_t * w_t in float, keys in order; the weight sum in L lanes (key t in lane t mod L; L = 8
// where the kernel takes one work-item per key, else 16) folded by halving; out * (1 / sum)
// rounded once to half.
// One instantiation per head size of the table.

constexpr int kKeyBlock = 64;

// Weight-sum lanes of a call with n keys.
size_t weight_sum_lanes(size_t n) {
  return vk::sdp_variant_for(true, n) == vk::sdp_variant::fp16_keys128 ? 8 : 16;
}

// Weights of C (<= 4) consecutive keys, their dot products interleaved.
template <int D, int C>
inline void scores(const float* q, const uint16_t* k, float* w) {
  constexpr float kScoreScale = vk::sdp_score_scale(D);
  static_assert(kScoreScale > 0, "a head size of the table has a score scale");
  __m256 acc[C][2];
  for (int c = 0; c < C; ++c) acc[c][0] = acc[c][1] = _mm256_setzero_ps();
  for (int i = 0; i < D / 16; ++i) {
    const __m256 qlo = _mm256_loadu_ps(q + 16 * i), qhi = _mm256_loadu_ps(q + 16 * i + 8);
    for (int c = 0; c < C; ++c) {
      const uint16_t* row = k + size_t(c) * D + 16 * i;
      if (i % 2 == 0) prefetch(row);
      acc[c][0] = hadd(acc[c][0], hmul(qlo, load8(row)));
      acc[c][1] = hadd(acc[c][1], hmul(qhi, load8(row + 8)));
    }
  }
  for (int c = 0; c < C; ++c) w[c] = std::exp2(fold16(acc[c][0], acc[c][1]) * kScoreScale);
}

// One query head's running state: its row in float, the output sums and the weight-sum lanes.
template <int D>
struct head_state {
  alignas(32) float q[D];
  alignas(32) float acc[D] = {};
  float wsum[16] = {};
};

// Keys t0 .. t0 + count - 1 (count <= 64) of rows k, v (row t at t * D) into one head's sums.
template <int D>
void head_block_fp16(head_state<D>& h, const uint16_t* k, const uint16_t* v, size_t t0,
                     size_t count, size_t lanes) {
  static_assert(D % 64 == 0, "the output sums go 64 elements at a time");
  float w[kKeyBlock];
  size_t c = 0;
  for (; c + 4 <= count; c += 4) scores<D, 4>(h.q, k + (t0 + c) * D, w + c);
  for (; c < count; ++c) scores<D, 1>(h.q, k + (t0 + c) * D, w + c);
  for (c = 0; c < count; ++c) h.wsum[(t0 + c) % lanes] += w[c];
  for (int part = 0; part < D / 64; ++part) {  // 64 output elements at a time, in registers
    __m256 o[8];
    for (int i = 0; i < 8; ++i) o[i] = _mm256_load_ps(h.acc + 64 * part + 8 * i);
    for (c = 0; c < count; ++c) {
      const uint16_t* row = v + (t0 + c) * D + 64 * part;
      prefetch(row), prefetch(row + 32);
      const __m256 wc = _mm256_set1_ps(w[c]);
      for (int i = 0; i < 8; ++i) o[i] = _mm256_add_ps(o[i], _mm256_mul_ps(load8(row + 8 * i), wc));
    }
    for (int i = 0; i < 8; ++i) _mm256_store_ps(h.acc + 64 * part + 8 * i, o[i]);
  }
}

// The G query heads q (rows of D) sharing the key/value rows k, v of n keys, into out (rows of
// D). Keys go in blocks of 64, every head taking each block in turn, so that a block is read
// from memory once for all G heads.
template <int D>
void heads_fp16(const uint16_t* q, size_t G, const uint16_t* k, const uint16_t* v, size_t n,
                uint16_t* out) {
  std::vector<head_state<D>> heads(G);
  for (size_t g = 0; g < G; ++g)
    for (int d = 0; d < D; ++d) heads[g].q[d] = h2f(q[g * D + d]);
  const size_t lanes = weight_sum_lanes(n);
  for (size_t t0 = 0; t0 < n; t0 += kKeyBlock)
    for (auto& h : heads)
      head_block_fp16<D>(h, k, v, t0, std::min<size_t>(kKeyBlock, n - t0), lanes);
  for (size_t g = 0; g < G; ++g) {
    float* wsum = heads[g].wsum;
    for (size_t width = lanes / 2; width >= 1; width /= 2)
      for (size_t l = 0; l < width; ++l) wsum[l] += wsum[l + width];
    const __m256 r = _mm256_set1_ps(1.0f / wsum[0]);
    for (int i = 0; i < D / 8; ++i)
      store8(out + g * D + 8 * i, _mm256_mul_ps(_mm256_load_ps(heads[g].acc + 8 * i), r));
  }
}

// Best seconds of `reps` runs over the B * H_kv key/value heads, G query heads each.
template <int D>
double run_sdp(const uint16_t* qp, const uint16_t* kp, const uint16_t* vp, uint16_t* op,
               size_t BHkv, size_t G, size_t n, int reps, int threads) {
  return best_seconds(reps, [&] {
    parallel_chunks(BHkv, 1, threads, [&](size_t b, size_t e) {
      for (size_t s = b; s < e; ++s)
        heads_fp16<D>(qp + s * G * D, G, kp + s * n * D, vp + s * n * D, n, op + s * G * D);
    });
  });
}

py::dict sdp_fp16(const py::array& q, const py::array& k, const py::array& v, py::array& out,
                  int reps, int threads) {
  if (q.ndim() != 4 || k.ndim() != 4)
    throw std::invalid_argument("q must be [B, H, 1, D] and k [B, H_kv, kv_len, D]");
  const py::ssize_t B = q.shape(0), H = q.shape(1), Hkv = k.shape(1), n = k.shape(2),
                    D = q.shape(3);
  if (!vk::listed(vk::kSdpHeadSizes, D))
    throw std::invalid_argument("q must have a head size D of " + one_of(vk::kSdpHeadSizes));
  if (n < 1) throw std::invalid_argument("kv_len must be at least 1");
  if (Hkv < 1 || H % Hkv) throw std::invalid_argument("H_kv of k must divide H of q");
  check_half(q, "q", {B, H, 1, D});
  check_half(k, "k", {B, Hkv, n, D});
  check_half(v, "v", {B, Hkv, n, D});
  check_half(out, "out", {B, H * D});
  const uint16_t *qp = cdata(q), *kp = cdata(k), *vp = cdata(v);
  uint16_t* op = wdata(out);
  const size_t G = size_t(H / Hkv);
  const int nt = thread_count(threads);
  double t = 0;
  {
    py::gil_scoped_release release;
    switch (D) {
#define VANTREL_HEAD_SIZE_CASE(size)                                            \
  case size:                                                                    \
    t = run_sdp<size>(qp, kp, vp, op, size_t(B * Hkv), G, size_t(n), reps, nt); \
    break;
      VANTREL_SDP_HEAD_SIZES(VANTREL_HEAD_SIZE_CASE)
#undef VANTREL_HEAD_SIZE_CASE
    }
  }
  return report(t, 2.0 * double(B) * double(D) * double(H + 2 * Hkv * n));
}

// ---- the decoding step's fused operators --------------------------------------------------------
//
// Float arithmetic, every operation rounded on its own; only the stores round to half. The calls
// are small (kilobytes to a few megabytes), so they take one thread per kMinThreadShare elements:
// starting more threads costs more than they save.

constexpr element_type kFloat{'f', 4, "float32"};
constexpr size_t kMinThreadShare = size_t(1) << 16;

int threads_for(int requested, size_t elements) {
  const size_t useful = std::max<size_t>(1, elements / kMinThreadShare);
  return int(std::min<size_t>(size_t(thread_count(requested)), useful));
}

template <typename T>
T* writable(py::array& a, const char* name) {
  if (!a.writeable()) throw std::invalid_argument(std::string(name) + " must be writeable");
  return static_cast<T*>(a.mutable_data());
}

// A 2-D C-contiguous array of `type` with `rows` rows of at least `width` elements: its row stride.
size_t check_rows_of(const py::array& a, const char* name, element_type type, py::ssize_t rows,
                     py::ssize_t width) {
  if (a.ndim() != 2 || a.shape(0) != rows || a.shape(1) < width)
    throw std::invalid_argument(std::string(name) + " has shape " + shape_str(a) + ", expected [" +
                                std::to_string(rows) + ", >= " + std::to_string(width) + "]");
  check_array(a, name, type, {rows, a.shape(1)});
  return size_t(a.shape(1));
}

// Float lanes 0..15 (lo = 0..7, hi = 8..15) folded by halving: 8 += upper 8, 4, 2, then 0 + 1.
inline float fold16_float(__m256 lo, __m256 hi) {
  const __m256 t8 = _mm256_add_ps(lo, hi);
  const __m128 t4 = _mm_add_ps(_mm256_castps256_ps128(t8), _mm256_extractf128_ps(t8, 1));
  const __m128 t2 = _mm_add_ps(t4, _mm_movehl_ps(t4, t4));
  return _mm_cvtss_f32(t2) + _mm_cvtss_f32(_mm_shuffle_ps(t2, t2, 1));
}

// add_rms_norm, one row of H: x = residual + float(delta) written to `sums` (with a delta), the
// row's n = H / 16 chunks shared by work-items c = ceil(n / 64) at a time, each work-item's 16
// lanes of squares folded by halving, the 64 slots folded by halving to S; r = 1 / sqrt(S / H +
// eps); out = half((x r) weight).
void norm_row(const float* residual, const uint16_t* delta, const float* weight, float eps,
              size_t H, float* sums, uint16_t* out) {
  const float* row = residual;
  if (delta) {
    for (size_t j = 0; j < H; j += 8)
      _mm256_storeu_ps(sums + j, _mm256_add_ps(_mm256_loadu_ps(residual + j), load8(delta + j)));
    row = sums;
  }
  const size_t n = H / 16, c = (n + 63) / 64;
  float slots[64] = {};
  for (size_t a = 0; a * c < n; ++a) {
    __m256 lo = _mm256_setzero_ps(), hi = _mm256_setzero_ps();
    for (size_t q = a * c; q < std::min(n, (a + 1) * c); ++q) {
      const __m256 xl = _mm256_loadu_ps(row + 16 * q), xh = _mm256_loadu_ps(row + 16 * q + 8);
      lo = _mm256_add_ps(lo, _mm256_mul_ps(xl, xl));
      hi = _mm256_add_ps(hi, _mm256_mul_ps(xh, xh));
    }
    slots[a] = fold16_float(lo, hi);
  }
  for (int w = 32; w >= 1; w /= 2)
    for (int l = 0; l < w; ++l) slots[l] += slots[l + w];
  const __m256 r = _mm256_set1_ps(1.0f / std::sqrt(slots[0] / float(H) + eps));
  for (size_t j = 0; j < H; j += 8)
    store8(out + j,
           _mm256_mul_ps(_mm256_mul_ps(_mm256_loadu_ps(row + j), r), _mm256_loadu_ps(weight + j)));
}

py::dict add_rms_norm(const py::array& residual, const py::object& delta, const py::array& weight,
                      float eps, py::array& out, const py::object& residual_out, int reps,
                      int threads) {
  if (residual.ndim() != 2) throw std::invalid_argument("residual must be [M, H]");
  const py::ssize_t M = residual.shape(0), H = residual.shape(1);
  if (vk::add_rms_norm_kernel_name(H).empty())
    throw std::invalid_argument("H must be a multiple of 16 up to " +
                                std::to_string(vk::kNormMaxWidth));
  check_array(residual, "residual", kFloat, {M, H});
  check_array(weight, "weight", kFloat, {H});
  check_half(out, "out", {M, H});
  const uint16_t* dp = nullptr;
  size_t ldd = 0;
  float* sp = nullptr;
  if (!delta.is_none()) {
    if (!py::isinstance<py::array>(delta) || !py::isinstance<py::array>(residual_out))
      throw std::invalid_argument("delta must be an array or None, residual_out an array then");
    const auto d = py::reinterpret_borrow<py::array>(delta);
    auto s = py::reinterpret_borrow<py::array>(residual_out);
    ldd = check_rows_of(d, "delta", kHalf, M, H);
    check_array(s, "residual_out", kFloat, {M, H});
    dp = cdata(d);
    sp = writable<float>(s, "residual_out");
  }
  const auto* rp = static_cast<const float*>(residual.data());
  const auto* wp = static_cast<const float*>(weight.data());
  uint16_t* op = wdata(out);
  const size_t rows = size_t(M), width = size_t(H);
  const int nt = threads_for(threads, rows * width);
  double t;
  {
    py::gil_scoped_release release;
    t = best_seconds(reps, [&] {
      parallel_chunks(rows, 1, nt, [&](size_t b, size_t e) {
        for (size_t m = b; m < e; ++m)
          norm_row(rp + m * width, dp ? dp + m * ldd : nullptr, wp, eps, width,
                   sp ? sp + m * width : nullptr, op + m * width);
      });
    });
  }
  return report(t, double(M) * double(H) * (dp ? 6.0 : 4.0) + 4.0 * double(H));
}

// rotary_cache, one query or key row x of D: out_i = x_i cos_i + x_{(i + D/2) mod D} sin_i, each
// product rounded to float, then the sum, then to half. The partner of the first half is the
// second half and back, so 8 lanes of each half turn together.
void rotate_row(const uint16_t* x, const float* cos, const float* sin, size_t D, uint16_t* out) {
  const size_t half = D / 2;
  for (size_t i = 0; i < half; i += 8) {
    const __m256 a = load8(x + i), b = load8(x + half + i);
    store8(out + i, _mm256_add_ps(_mm256_mul_ps(a, _mm256_loadu_ps(cos + i)),
                                  _mm256_mul_ps(b, _mm256_loadu_ps(sin + i))));
    store8(out + half + i, _mm256_add_ps(_mm256_mul_ps(b, _mm256_loadu_ps(cos + half + i)),
                                         _mm256_mul_ps(a, _mm256_loadu_ps(sin + half + i))));
  }
}

py::dict rotary_cache(const py::array& qkv, const py::array& cos, const py::array& sin,
                      py::array& k_cache, py::array& v_cache, py::ssize_t start, py::ssize_t heads,
                      py::ssize_t kv_heads, py::array& out, int reps, int threads) {
  if (k_cache.ndim() != 4 || cos.ndim() != 2)
    throw std::invalid_argument("k_cache must be [B, kv_heads, L, D] and cos [P, D]");
  const py::ssize_t B = k_cache.shape(0), L = k_cache.shape(2), D = k_cache.shape(3),
                    P = cos.shape(0);
  if (vk::rotary_cache_kernel_name(D).empty())
    throw std::invalid_argument("D must be a multiple of 16 up to " +
                                std::to_string(vk::kRotaryMaxHeadSize));
  if (kv_heads < 1 || heads < 1 || heads % kv_heads)
    throw std::invalid_argument("kv_heads must divide heads");
  if (B < 1 || qkv.ndim() != 2 || qkv.shape(0) % B)
    throw std::invalid_argument("qkv must have B * C rows");
  const py::ssize_t C = qkv.shape(0) / B, T = heads + 2 * kv_heads;
  if (start < 0 || start + C > L || start + C > P)
    throw std::invalid_argument("start + C must not pass the caches' L nor the tables' P");
  const size_t ldq = check_rows_of(qkv, "qkv", kHalf, B * C, T * D);
  check_array(cos, "cos", kFloat, {P, D});
  check_array(sin, "sin", kFloat, {P, D});
  check_half(k_cache, "k_cache", {B, kv_heads, L, D});
  check_half(v_cache, "v_cache", {B, kv_heads, L, D});
  check_half(out, "out", {B, heads, C, D});
  const uint16_t* qp = cdata(qkv);
  const auto* cp = static_cast<const float*>(cos.data());
  const auto* sp = static_cast<const float*>(sin.data());
  uint16_t *kp = writable<uint16_t>(k_cache, "k_cache"),
           *vp = writable<uint16_t>(v_cache, "v_cache"), *op = wdata(out);
  const size_t rows = size_t(B * C), d = size_t(D), h = size_t(heads), hk = size_t(kv_heads),
               c = size_t(C), l = size_t(L), s0 = size_t(start);
  const int nt = threads_for(threads, rows * size_t(T) * d);
  double t;
  {
    py::gil_scoped_release release;
    t = best_seconds(reps, [&] {
      parallel_chunks(rows, 1, nt, [&](size_t b, size_t e) {
        for (size_t row = b; row < e; ++row) {
          const size_t seq = row / c, pos = row % c;
          const uint16_t* x = qp + row * ldq;
          const float *co = cp + (s0 + pos) * d, *si = sp + (s0 + pos) * d;
          for (size_t i = 0; i < h; ++i)
            rotate_row(x + i * d, co, si, d, op + ((seq * h + i) * c + pos) * d);
          for (size_t i = 0; i < hk; ++i) {
            const size_t at = ((seq * hk + i) * l + s0 + pos) * d;
            rotate_row(x + (h + i) * d, co, si, d, kp + at);
            std::memcpy(vp + at, x + (h + hk + i) * d, d * sizeof(uint16_t));
          }
        }
      });
    });
  }
  return report(t, 2.0 * double(B * C) * double(T * D) + 8.0 * double(C) * double(D));
}

// silu_mul, elements [0, n) of a row: out = half(g / (1 + e) u), e = exp2f(float(-g 1.442695f)),
// as the emulated device's exp computes it (the C library's exp2f, one element at a time).
void silu_mul_row(const uint16_t* gate, const uint16_t* up, size_t n, uint16_t* out) {
  const __m256 log2e = _mm256_set1_ps(-1.442695f), one = _mm256_set1_ps(1.0f);
  for (size_t j = 0; j < n; j += 8) {
    const __m256 g = load8(gate + j);
    alignas(32) float e[8];
    _mm256_store_ps(e, _mm256_mul_ps(g, log2e));  // (-g) 1.442695f: the negation is exact
    for (float& v : e) v = std::exp2(v);
    const __m256 silu = _mm256_div_ps(g, _mm256_add_ps(one, _mm256_load_ps(e)));
    store8(out + j, _mm256_mul_ps(silu, load8(up + j)));
  }
}

py::dict silu_mul(const py::array& gate_up, py::ssize_t intermediate, py::array& out, int reps,
                  int threads) {
  if (vk::silu_mul_kernel_name(intermediate).empty())
    throw std::invalid_argument("intermediate must be a multiple of 16 up to " +
                                std::to_string(vk::kGatedMaxWidth));
  if (gate_up.ndim() != 2) throw std::invalid_argument("gate_up must be [M, >= 2 intermediate]");
  const py::ssize_t M = gate_up.shape(0);
  const size_t ld = check_rows_of(gate_up, "gate_up", kHalf, M, 2 * intermediate);
  check_half(out, "out", {M, intermediate});
  const uint16_t* gp = cdata(gate_up);
  uint16_t* op = wdata(out);
  const size_t I = size_t(intermediate), elements = size_t(M) * I;
  const int nt = threads_for(threads, 4 * elements);  // exp2f: a few times a norm's work
  double t;
  {
    py::gil_scoped_release release;
    // Units of 1024 elements (a multiple of 16: a row's units end at its end or on a chunk).
    const size_t per_row = (I + 1023) / 1024;
    t = best_seconds(reps, [&] {
      parallel_chunks(size_t(M) * per_row, 4, nt, [&](size_t b, size_t e) {
        for (size_t u = b; u < e; ++u) {
          const size_t m = u / per_row, j = u % per_row * 1024, n = std::min<size_t>(1024, I - j);
          silu_mul_row(gp + m * ld + j, gp + m * ld + I + j, n, op + m * I + j);
        }
      });
    });
  }
  return report(t, 4.0 * double(elements));
}

// ---- DRAM read bandwidth ------------------------------------------------------------------------

// Reads a buffer far larger than the caches with all threads (256-bit loads, four independent
// sums), best of `reps` passes.
py::dict dram_read(double megabytes, int reps, int threads) {
  const size_t chunk = 1 << 20;  // unit of work: 1 MiB
  const size_t bytes = std::max<size_t>(1, size_t(megabytes)) << 20;
  const int nt = thread_count(threads);
  double t;
  uint64_t total = 0;
  {
    py::gil_scoped_release release;
    std::unique_ptr<void, decltype(&std::free)> buf(std::aligned_alloc(chunk, bytes), &std::free);
    if (!buf) throw std::bad_alloc();
    auto* base = static_cast<unsigned char*>(buf.get());
    parallel_chunks(bytes / chunk, 16, nt, [&](size_t b, size_t e) {
      for (size_t c = b; c < e; ++c) std::memset(base + c * chunk, int(c & 0xff), chunk);
    });
    std::atomic<uint64_t> sink{0};
    t = best_seconds(reps, [&] {
      parallel_chunks(bytes / chunk, 16, nt, [&](size_t b, size_t e) {
        const auto* p = reinterpret_cast<const __m256i*>(base + b * chunk);
        const auto* end = reinterpret_cast<const __m256i*>(base + e * chunk);
        __m256i s[4] = {};
        for (; p < end; p += 8)
          for (int i = 0; i < 4; ++i) {
            const __m256i pair =
                _mm256_add_epi64(_mm256_load_si256(p + i), _mm256_load_si256(p + i + 4));
            s[i] = _mm256_add_epi64(s[i], pair);
          }
        const __m256i sum =
            _mm256_add_epi64(_mm256_add_epi64(s[0], s[1]), _mm256_add_epi64(s[2], s[3]));
        alignas(32) uint64_t lanes[4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sum);
        sink += lanes[0] + lanes[1] + lanes[2] + lanes[3];
      });
    });
    total = sink.load();
  }
  py::dict d = report(t, double(bytes));
  d["checksum"] = total;  // keeps the reads observable
  return d;
}

}  // namespace

PYBIND11_MODULE(vantrel_native, m) {
  m.doc() =
      "The arithmetic of vantrel's kernels as native host loops (same per-operation rounding and "
      "order, all cores), and the machine's DRAM read bandwidth. Each call writes `out` and "
      "returns {'seconds': best of reps, 'bytes': distinct bytes read, 'gbps': bytes / seconds / "
      "1e9}.";
  // pybind11 copies the docstrings.
  const std::string arranged_doc =
      "out[M, N] = x[M, K] @ w^T as vantrel.forward's kernel for K = " +
      one_of(vk::kArrangedWidths) + " computes it; w pre-arranged in blocks of " +
      std::to_string(vk::kBlockOutputs) + " output features (N * K float16 elements).";
  const std::string row_major_doc =
      "out[M, N] = x[M, K] @ w[N, K]^T as vantrel.forward's kernel for K = " +
      one_of(vk::kRowMajorWidths) + " computes it.";
  const std::string sdp_doc =
      "out[B, H * D] = vantrel.sdp_forward(q, k, v) for contiguous float16 q [B, H, 1, D] and k, "
      "v [B, H_kv, kv_len, D], H_kv dividing H, D = " +
      one_of(vk::kSdpHeadSizes) + ".";
  m.def("linear_arranged", &linear_arranged, py::arg("x"), py::arg("w"), py::arg("out"),
        py::arg("reps") = 1, py::arg("threads") = 0, arranged_doc.c_str());
  m.def("linear_row_major", &linear_row_major, py::arg("x"), py::arg("w"), py::arg("out"),
        py::arg("reps") = 1, py::arg("threads") = 0, row_major_doc.c_str());
  const std::string packed_doc =
      " on packed weights, as vantrel.forward_quantized computes it: qweight (uint8), scales "
      "(float16) and zeros (int16, or None for symmetric codes) in the packed layout of width K, "
      "bits " +
      one_of(vk::kQuantBits) + ", group_size " + one_of(vk::kQuantGroupSizes) + ".";
  const std::string arranged_packed_doc =
      "out[M, N] = x[M, K] @ w^T for K = " + one_of(vk::kArrangedWidths) + packed_doc;
  const std::string row_major_packed_doc =
      "out[M, N] = x[M, K] @ w^T for K = " + one_of(vk::kRowMajorWidths) + packed_doc;
  for (const auto& [name, fn, doc] :
       {std::tuple{"linear_arranged_packed", &linear_arranged_packed, &arranged_packed_doc},
        std::tuple{"linear_row_major_packed", &linear_row_major_packed, &row_major_packed_doc}})
    m.def(name, fn, py::arg("x"), py::arg("qweight"), py::arg("scales"),
          py::arg("zeros").none(true), py::arg("bits"), py::arg("group_size"), py::arg("out"),
          py::arg("reps") = 1, py::arg("threads") = 0, doc->c_str());
  m.def("sdp_fp16", &sdp_fp16, py::arg("q"), py::arg("k"), py::arg("v"), py::arg("out"),
        py::arg("reps") = 1, py::arg("threads") = 0, sdp_doc.c_str());
  m.def(
      "add_rms_norm", &add_rms_norm, py::arg("residual"), py::arg("delta").none(true),
      py::arg("weight"), py::arg("eps"), py::arg("out"),
      py::arg("residual_out").none(true) = py::none(), py::arg("reps") = 1, py::arg("threads") = 0,
      "out[M, H] = vantrel.add_rms_norm(residual, delta, weight, eps) for float32 residual [M, H] "
      "and weight [H], float16 delta [M, >= H] or None. residual is only read: with delta, "
      "residual + delta goes to residual_out (float32 [M, H]), so that repeated runs compute "
      "the same.");
  m.def("rotary_cache", &rotary_cache, py::arg("qkv"), py::arg("cos"), py::arg("sin"),
        py::arg("k_cache"), py::arg("v_cache"), py::arg("start"), py::arg("heads"),
        py::arg("kv_heads"), py::arg("out"), py::arg("reps") = 1, py::arg("threads") = 0,
        "out[B, heads, C, D] = vantrel.rotary_cache(qkv, cos, sin, k_cache, v_cache, start, heads, "
        "kv_heads), writing rows start .. start + C - 1 of the float16 caches [B, kv_heads, L, D]; "
        "qkv float16 [B * C, >= (heads + 2 kv_heads) D], cos and sin float32 [P, D].");
  m.def("silu_mul", &silu_mul, py::arg("gate_up"), py::arg("intermediate"), py::arg("out"),
        py::arg("reps") = 1, py::arg("threads") = 0,
        "out[M, I] = vantrel.silu_mul(gate_up, I) for float16 gate_up [M, >= 2 I].");
  m.def("dram_read", &dram_read, py::arg("megabytes") = 1024.0, py::arg("reps") = 5,
        py::arg("threads") = 0,
        "Streaming read of a buffer of `megabytes` MiB by all threads: the DRAM read bandwidth.");
  m.def(
      "threads", [] { return thread_count(0); }, "Threads the loops use by default.");
}
