// SYCL 2020 host subset: half, ranges, nd_item, queue, handler, event and exception. Kernels are
// launched on the emulated device through the in-order queue of xpuemu/runtime.hpp.
#pragma once

#include <immintrin.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>

#include "xpuemu/runtime.hpp"

namespace sycl {
inline namespace _V1 {

// ---- half -------------------------------------------------------------------------------------

// IEEE 754 binary16. Conversion from float rounds to nearest even (subnormals included); every
// arithmetic operation computes in float and rounds once.
class half {
 public:
  half() = default;
  half(float f) : bits_(from_float(f)) {}    // NOLINT: implicit like the device type
  half(double d) : bits_(from_double(d)) {}  // NOLINT
  template <typename I, typename = std::enable_if_t<std::is_integral_v<I>>>
  half(I i) : bits_(from_float(static_cast<float>(i))) {}  // NOLINT
  operator float() const { return to_float(bits_); }

  static half from_bits(std::uint16_t b) {
    half h;
    h.bits_ = b;
    return h;
  }
  std::uint16_t bits() const { return bits_; }

  static std::uint16_t from_float(float f) {
    return static_cast<std::uint16_t>(_cvtss_sh(f, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
  }
  // Rounds once: the double is first narrowed to float rounding to odd (truncate, then set the
  // last bit if anything was lost), which float's 13 extra bits make exact for the final rounding.
  static std::uint16_t from_double(double d) {
    float f = static_cast<float>(d);
    if (static_cast<double>(f) != d && f == f) {
      std::uint32_t u;
      std::memcpy(&u, &f, 4);
      if (std::fabs(static_cast<double>(f)) > std::fabs(d)) --u;  // truncate toward zero
      u |= 1;
      std::memcpy(&f, &u, 4);
    }
    return from_float(f);
  }
  static float to_float(std::uint16_t b) { return _cvtsh_ss(b); }

  half& operator+=(half o) { return *this = half(float(*this) + float(o)); }
  half& operator-=(half o) { return *this = half(float(*this) - float(o)); }
  half& operator*=(half o) { return *this = half(float(*this) * float(o)); }
  half& operator/=(half o) { return *this = half(float(*this) / float(o)); }
  half operator-() const { return from_bits(bits_ ^ 0x8000u); }

  // half with half or with an integer gives half; with float or double, that type.
#define SYCL_HALF_ARITHMETIC(op)                                              \
  friend half operator op(half a, half b) {                                   \
    return half(float(a) op float(b));                                        \
  }                                                                           \
  template <typename T, typename = std::enable_if_t<std::is_arithmetic_v<T>>> \
  friend auto operator op(half a, T b) {                                      \
    if constexpr (std::is_integral_v<T>)                                      \
      return half(float(a) op static_cast<float>(b));                         \
    else                                                                      \
      return static_cast<T>(float(a)) op b;                                   \
  }                                                                           \
  template <typename T, typename = std::enable_if_t<std::is_arithmetic_v<T>>> \
  friend auto operator op(T a, half b) {                                      \
    if constexpr (std::is_integral_v<T>)                                      \
      return half(static_cast<float>(a) op float(b));                         \
    else                                                                      \
      return a op static_cast<T>(float(b));                                   \
  }
  SYCL_HALF_ARITHMETIC(+)
  SYCL_HALF_ARITHMETIC(-)
  SYCL_HALF_ARITHMETIC(*)
  SYCL_HALF_ARITHMETIC(/)
#undef SYCL_HALF_ARITHMETIC

 private:
  std::uint16_t bits_;
};
static_assert(sizeof(half) == 2 && std::is_trivially_copyable_v<half>);

// ---- errors -----------------------------------------------------------------------------------

enum class errc {
  success = 0,
  runtime,
  kernel,
  accessor,
  nd_range,
  event,
  kernel_argument,
  build,
  invalid,
  memory_allocation,
  platform,
  profiling,
  feature_not_supported,
  kernel_not_supported,
  backend_mismatch,
};

namespace detail {
class errc_category : public std::error_category {
 public:
  const char* name() const noexcept override { return "sycl"; }
  std::string message(int) const override { return "SYCL error"; }
};
inline const std::error_category& sycl_category() {
  static const errc_category c;
  return c;
}
}  // namespace detail

inline std::error_code make_error_code(errc e) noexcept {
  return {static_cast<int>(e), detail::sycl_category()};
}

class exception : public virtual std::exception {
 public:
  exception(std::error_code ec, const std::string& what) : ec_(ec), what_(what) {}
  exception(std::error_code ec, const char* what) : ec_(ec), what_(what) {}
  const char* what() const noexcept override { return what_.c_str(); }
  const std::error_code& code() const noexcept { return ec_; }

 private:
  std::error_code ec_;
  std::string what_;
};

// ---- index spaces -----------------------------------------------------------------------------

template <int D = 1>
class id;

template <int D = 1>
class range {
  static_assert(D >= 1 && D <= 3, "range has 1 to 3 dimensions");

 public:
  template <typename... Ts, typename = std::enable_if_t<sizeof...(Ts) == D>>
  range(Ts... extents) : v_{static_cast<std::size_t>(extents)...} {}
  std::size_t get(int d) const { return v_[d]; }
  std::size_t& operator[](int d) { return v_[d]; }
  std::size_t operator[](int d) const { return v_[d]; }
  std::size_t size() const {
    std::size_t s = 1;
    for (int d = 0; d < D; ++d) s *= v_[d];
    return s;
  }
  friend bool operator==(const range& a, const range& b) {
    for (int d = 0; d < D; ++d)
      if (a.v_[d] != b.v_[d]) return false;
    return true;
  }
  friend bool operator!=(const range& a, const range& b) { return !(a == b); }

 private:
  std::size_t v_[D];
};

template <int D>
class id {
 public:
  id() : v_{} {}
  template <typename... Ts, typename = std::enable_if_t<sizeof...(Ts) == D>>
  id(Ts... ix) : v_{static_cast<std::size_t>(ix)...} {}
  std::size_t get(int d) const { return v_[d]; }
  std::size_t& operator[](int d) { return v_[d]; }
  std::size_t operator[](int d) const { return v_[d]; }

 private:
  std::size_t v_[D];
};

template <int D = 1>
class nd_range {
 public:
  nd_range(range<D> global, range<D> local) : global_(global), local_(local) {}
  range<D> get_global_range() const { return global_; }
  range<D> get_local_range() const { return local_; }
  range<D> get_group_range() const {
    range<D> g = global_;
    for (int d = 0; d < D; ++d) g[d] = local_[d] ? global_[d] / local_[d] : 0;
    return g;
  }

 private:
  range<D> global_;
  range<D> local_;
};

template <int D = 1>
class nd_item;

// A work-item of a two-dimensional launch; the rightmost dimension varies fastest.
template <>
class nd_item<2> {
 public:
  explicit nd_item(const xpuemu::detail::item_coords& c) : c_(c) {}
  std::size_t get_global_id(int d) const {
    return c_.group[d] * c_.local_range[d] + c_.local_id[d];
  }
  std::size_t get_global_linear_id() const {
    return get_global_id(0) * get_global_range(1) + get_global_id(1);
  }
  std::size_t get_local_id(int d) const { return c_.local_id[d]; }
  std::size_t get_local_linear_id() const {
    return c_.local_id[0] * c_.local_range[1] + c_.local_id[1];
  }
  std::size_t get_group(int d) const { return c_.group[d]; }
  std::size_t get_group_linear_id() const { return c_.group[0] * c_.group_range[1] + c_.group[1]; }
  std::size_t get_group_range(int d) const { return c_.group_range[d]; }
  std::size_t get_local_range(int d) const { return c_.local_range[d]; }
  std::size_t get_global_range(int d) const { return c_.group_range[d] * c_.local_range[d]; }
  range<2> get_global_range() const { return {get_global_range(0), get_global_range(1)}; }
  range<2> get_local_range() const { return {c_.local_range[0], c_.local_range[1]}; }
  range<2> get_group_range() const { return {c_.group_range[0], c_.group_range[1]}; }
  void barrier(const char* file = __builtin_FILE(), unsigned line = __builtin_LINE()) const {
    xpuemu::detail::barrier(file, line);
  }

 private:
  xpuemu::detail::item_coords c_;
};

// ---- kernel names -----------------------------------------------------------------------------

namespace detail {
// The unqualified name of T with template arguments dropped: ns::K<float> gives "K".
template <typename T>
std::string parse_kernel_name() {
  std::string_view f = __PRETTY_FUNCTION__;  // "... [with T = <type>; ...]"
  const std::string_view key = "T = ";
  f.remove_prefix(f.find(key) + key.size());
  // The type ends at the first ';' or ']' outside brackets.
  std::string out;
  int depth = 0;
  for (char ch : f) {
    if (depth == 0 && (ch == ';' || ch == ']')) break;
    if (ch == '<' || ch == '(' || ch == '{') ++depth;
    if (depth == 0) out += ch;
    if (ch == '>' || ch == ')' || ch == '}') --depth;
  }
  const auto colon = out.rfind("::");
  if (colon != std::string::npos) out.erase(0, colon + 2);
  return out;
}
// The same, worked out once per kernel type (every launch carries it) and never destroyed: the
// device may still log a launch while the process exits.
template <typename T>
const std::string* kernel_name() {
  static const std::string* name = new std::string(parse_kernel_name<T>());
  return name;
}

struct code_location {
  static constexpr code_location current(const char* file = __builtin_FILE(),
                                         const char* func = __builtin_FUNCTION(),
                                         unsigned line = __builtin_LINE(),
                                         unsigned col = 0) noexcept {
    return {file, func, line, col};
  }
  const char* file_name;
  const char* function_name;
  unsigned line_number;
  unsigned column_number;
};

inline void check_range_fits_int(const std::size_t* r, int dims) {
  std::size_t product = 1;
  for (int d = 0; d < dims; ++d) {
    product *= r[d];
    if (r[d] > static_cast<std::size_t>(INT_MAX) || product > static_cast<std::size_t>(INT_MAX))
      throw sycl::exception(make_error_code(errc::nd_range),
                            "Provided range is out of integer limits. Pass "
                            "`-fno-sycl-id-queries-fit-in-int' to disable range check.");
  }
}
}  // namespace detail

// ---- events, handler, queue -------------------------------------------------------------------

class event {
 public:
  event() = default;
  // Waits for the launch (and every launch before it); throws the earliest unreported failure.
  void wait() {
    if (seq_) wait_and_rethrow(seq_);
  }
  static void wait_and_rethrow(std::uint64_t seq) {
    try {
      xpuemu::detail::wait_for(seq);
    } catch (const xpuemu::launch_error& e) {
      throw sycl::exception(make_error_code(errc::kernel), e.what());
    }
  }

 private:
  friend class queue;
  explicit event(std::uint64_t seq) : seq_(seq) {}
  std::uint64_t seq_ = 0;  // 0: nothing to wait for
};

class handler {
 public:
  // Launches `f` over `r`. Range errors are thrown here, before anything is enqueued.
  template <typename KernelName, typename F>
  void parallel_for(nd_range<2> r, F f) {
    const std::size_t g[2] = {r.get_global_range()[0], r.get_global_range()[1]};
    const std::size_t l[2] = {r.get_local_range()[0], r.get_local_range()[1]};
    detail::check_range_fits_int(g, 2);
    detail::check_range_fits_int(l, 2);
    if (seq_ != 0 || submitted_)
      throw sycl::exception(make_error_code(errc::invalid),
                            "A command group may submit at most one command");
    submitted_ = true;
    // An empty index space is legal: it is logged and completes without running anything.
    if (g[0] * g[1] != 0)
      for (int d = 0; d < 2; ++d)
        if (l[d] == 0 || g[d] % l[d] != 0)
          throw sycl::exception(make_error_code(errc::nd_range),
                                "Non-uniform work-groups are not supported by the target device");
    xpuemu::detail::kernel_launch launch;
    launch.name = detail::kernel_name<KernelName>();
    launch.global[0] = g[0];
    launch.global[1] = g[1];
    launch.local[0] = l[0];
    launch.local[1] = l[1];
    launch.body = [f = std::move(f)](const xpuemu::detail::item_coords& c) { f(nd_item<2>(c)); };
    seq_ = xpuemu::detail::submit(std::move(launch));
  }

 private:
  friend class queue;
  handler() = default;
  std::uint64_t seq_ = 0;
  bool submitted_ = false;
};

namespace property::queue {
struct in_order {};
struct enable_profiling {};
}  // namespace property::queue

class property_list {
 public:
  template <typename... Ps>
  property_list(Ps...) {}
};

// The device's in-order queue. Every queue object feeds the one device queue of the runtime.
class queue {
 public:
  queue() = default;
  explicit queue(const property_list&) {}

  template <typename CGF>
  event submit(CGF cgf, const detail::code_location& = detail::code_location::current()) {
    handler h;
    cgf(h);
    return event(h.seq_);
  }

  // Waits for everything submitted; throws the earliest unreported failure.
  void wait() {
    try {
      xpuemu::synchronize();
    } catch (const xpuemu::launch_error& e) {
      throw sycl::exception(make_error_code(errc::kernel), e.what());
    }
  }
};

}  // namespace _V1
}  // namespace sycl

namespace std {
template <>
struct is_error_code_enum<sycl::errc> : true_type {};

template <>
class numeric_limits<sycl::half> {
 public:
  static constexpr bool is_specialized = true;
  static constexpr bool is_signed = true;
  static constexpr bool is_integer = false;
  static constexpr bool is_exact = false;
  static constexpr bool is_iec559 = true;
  static constexpr bool is_bounded = true;
  static constexpr bool is_modulo = false;
  static constexpr bool has_infinity = true;
  static constexpr bool has_quiet_NaN = true;
  static constexpr bool has_signaling_NaN = true;
  static constexpr float_denorm_style has_denorm = denorm_present;
  static constexpr bool has_denorm_loss = false;
  static constexpr bool traps = false;
  static constexpr bool tinyness_before = false;
  static constexpr float_round_style round_style = round_to_nearest;
  static constexpr int radix = 2;
  static constexpr int digits = 11;
  static constexpr int digits10 = 3;
  static constexpr int max_digits10 = 5;
  static constexpr int max_exponent = 16;
  static constexpr int max_exponent10 = 4;
  static constexpr int min_exponent = -13;
  static constexpr int min_exponent10 = -4;
  static sycl::half min() { return sycl::half::from_bits(0x0400); }
  static sycl::half max() { return sycl::half::from_bits(0x7BFF); }
  static sycl::half lowest() { return sycl::half::from_bits(0xFBFF); }
  static sycl::half epsilon() { return sycl::half::from_bits(0x1400); }
  static sycl::half round_error() { return sycl::half::from_bits(0x3800); }  // 0.5
  static sycl::half infinity() { return sycl::half::from_bits(0x7C00); }
  static sycl::half quiet_NaN() { return sycl::half::from_bits(0x7E00); }
  static sycl::half signaling_NaN() { return sycl::half::from_bits(0x7D00); }
  static sycl::half denorm_min() { return sycl::half::from_bits(0x0001); }
};
}  // namespace std
