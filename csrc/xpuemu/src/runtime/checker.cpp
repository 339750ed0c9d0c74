// The per-launch access checker: bounds, alignment and traffic of every global access.
#include "checker.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

namespace xpuemu::detail {
namespace {

// Zeroed memory for bitmaps, recycled across launches: fresh pages would cost page faults and
// unmapping them stalls the other worker threads. At most 16 MiB is kept, so that the pool does
// not show as growth of a long-running process's resident memory.
class bitmap_pool {
 public:
  static void* take(std::size_t bytes) {
    auto& p = get();
    {
      std::lock_guard<std::mutex> lock(p.mutex_);
      auto it = p.free_.find(bytes);
      if (it != p.free_.end()) {
        void* m = it->second;
        p.free_.erase(it);
        p.pooled_ -= bytes;
        std::memset(m, 0, bytes);
        return m;
      }
    }
    void* m = std::calloc(bytes, 1);
    if (!m) throw std::bad_alloc();
    return m;
  }
  static void give(void* m, std::size_t bytes) {
    auto& p = get();
    std::lock_guard<std::mutex> lock(p.mutex_);
    if (p.pooled_ + bytes > kMaxPooled) {
      std::free(m);
      return;
    }
    p.free_.emplace(bytes, m);
    p.pooled_ += bytes;
  }

 private:
  static constexpr std::size_t kMaxPooled = std::size_t{16} << 20;
  static bitmap_pool& get() {
    static bitmap_pool* p = new bitmap_pool;  // never destroyed
    return *p;
  }
  std::mutex mutex_;
  std::multimap<std::size_t, void*> free_;  // by size
  std::size_t pooled_ = 0;
};

// A bitmap created on first use. Thread-safe.
class lazy_bitmap {
 public:
  ~lazy_bitmap() {
    if (auto* p = words_.load()) bitmap_pool::give(p, bytes_);
  }
  std::atomic<std::uint64_t>* get(std::size_t bits) {
    std::atomic<std::uint64_t>* p = words_.load(std::memory_order_acquire);
    if (p) return p;
    std::lock_guard<std::mutex> lock(create_);
    p = words_.load(std::memory_order_relaxed);
    if (p) return p;
    bytes_ = std::max<std::size_t>((bits + 63) / 64, 1) * 8;
    p = static_cast<std::atomic<std::uint64_t>*>(bitmap_pool::take(bytes_));
    words_.store(p, std::memory_order_release);
    return p;
  }
  const std::atomic<std::uint64_t>* peek() const { return words_.load(); }

  // Sets bits [first, last).
  static void set(std::atomic<std::uint64_t>* words, std::size_t first, std::size_t last) {
    while (first < last) {
      const std::size_t w = first / 64, lo = first % 64;
      const std::size_t n = std::min<std::size_t>(64 - lo, last - first);
      const std::uint64_t mask = (n == 64 ? ~0ull : ((1ull << n) - 1)) << lo;
      if ((words[w].load(std::memory_order_relaxed) & mask) != mask) {
        // A whole word needs no read-modify-write: all ones is its final value whatever races.
        if (n == 64) {
          words[w].store(~0ull, std::memory_order_relaxed);
        } else {
          words[w].fetch_or(mask, std::memory_order_relaxed);
        }
      }
      first += n;
    }
  }

 private:
  std::atomic<std::atomic<std::uint64_t>*> words_{nullptr};
  std::size_t bytes_ = 0;
  std::mutex create_;
};

}  // namespace

// Loaded bytes of one allocation, at three granularities: one bit per aligned 64-byte line loaded
// whole (block transfers: a bitmap 1/512 of the data, so marking a stream of blocks stays in the
// cache), one bit per aligned 4-byte word loaded whole (the rest of word transfers), one bit per
// byte for the rest. A byte counts once, at the coarsest level that holds it.
struct launch_checker::loaded_map {
  lazy_bitmap lines;
  lazy_bitmap words;
  lazy_bitmap bytes;

  // Marks bytes [first, last); whole lines go into the calling thread's `own_lines`.
  void mark(std::size_t first, std::size_t last, std::size_t size, line_bitmap& own_lines) {
    const std::size_t l0 = (first + 63) / 64, l1 = last / 64;
    if (l0 < l1) {
      set_bits(own_lines.get(size), l0, l1);
      if (first < 64 * l0) mark_words(first, 64 * l0, size);
      if (64 * l1 < last) mark_words(64 * l1, last, size);
    } else {
      mark_words(first, last, size);
    }
  }

  // Adds a thread's whole lines (under the checker's merge lock).
  void merge_lines(const line_bitmap& own_lines, std::size_t size) {
    const std::uint64_t* bits = own_lines.peek();
    if (!bits) return;
    std::atomic<std::uint64_t>* to = lines.get((size + 63) / 64);
    for (std::size_t i = 0; i < ((size + 63) / 64 + 63) / 64; ++i)
      if (bits[i])
        to[i].store(to[i].load(std::memory_order_relaxed) | bits[i], std::memory_order_relaxed);
  }

  std::uint64_t count(std::size_t size) const {
    const auto* l = lines.peek();
    const auto* w = words.peek();
    const auto* b = bytes.peek();
    const auto line_bits = [&](std::size_t first_line, unsigned n) -> std::uint64_t {
      // Bits first_line .. first_line + n - 1 of the line map (n <= 4, within one 64-bit word).
      if (!l) return 0;
      return l[first_line / 64].load() >> (first_line % 64) & ((1ull << n) - 1);
    };
    std::uint64_t n = 0;
    if (l)
      for (std::size_t i = 0; i < ((size + 63) / 64 + 63) / 64; ++i)
        n += 64 * static_cast<std::uint64_t>(__builtin_popcountll(l[i].load()));
    if (w)
      for (std::size_t i = 0; i < ((size + 3) / 4 + 63) / 64; ++i) {
        // 64 words = 4 lines: drop the words of lines already counted.
        std::uint64_t bits = w[i].load();
        if (!bits) continue;
        const std::uint64_t held = line_bits(4 * i, 4);
        for (unsigned j = 0; j < 4; ++j)
          if (held >> j & 1) bits &= ~(0xFFFFull << (16 * j));
        n += 4 * static_cast<std::uint64_t>(__builtin_popcountll(bits));
      }
    if (b)
      for (std::size_t i = 0; i < (size + 63) / 64; ++i) {
        // 64 bytes = 1 line = 16 words: drop the bytes counted with their line or word.
        std::uint64_t bits = b[i].load();
        if (!bits || line_bits(i, 1)) continue;
        const std::uint64_t held = w ? w[i / 4].load() >> (16 * (i % 4)) & 0xFFFF : 0;
        for (unsigned j = 0; j < 16; ++j)
          if (held >> j & 1) bits &= ~(0xFull << (4 * j));
        n += static_cast<std::uint64_t>(__builtin_popcountll(bits));
      }
    return n;
  }

 private:
  void mark_words(std::size_t first, std::size_t last, std::size_t size) {
    const std::size_t w0 = (first + 3) / 4, w1 = last / 4;
    if (w0 >= w1) {
      lazy_bitmap::set(bytes.get(size), first, last);
      return;
    }
    lazy_bitmap::set(words.get((size + 3) / 4), w0, w1);
    if (first < 4 * w0) lazy_bitmap::set(bytes.get(size), first, 4 * w0);
    if (4 * w1 < last) lazy_bitmap::set(bytes.get(size), 4 * w1, last);
  }
};

launch_checker::launch_checker(std::vector<allocation> allocations)
    : allocs_(std::move(allocations)),
      loads_(allocs_.size()),
      stores_(allocs_.size()),
      loaded_(new loaded_map[allocs_.size()]) {}

launch_checker::~launch_checker() = default;

line_bitmap& line_bitmap::operator=(line_bitmap&& o) noexcept {
  std::swap(bits_, o.bits_);
  std::swap(bytes_, o.bytes_);
  return *this;
}

line_bitmap::~line_bitmap() {
  if (bits_) bitmap_pool::give(bits_, bytes_);
}

std::uint64_t* line_bitmap::create(std::size_t size) {
  bytes_ = std::max<std::size_t>(((size + 63) / 64 + 63) / 64, 1) * 8;
  bits_ = static_cast<std::uint64_t*>(bitmap_pool::take(bytes_));
  return bits_;
}

thread_traffic launch_checker::new_traffic() const {
  thread_traffic t;
  t.loads.assign(allocs_.size(), 0);
  t.stores.assign(allocs_.size(), 0);
  t.lines.resize(allocs_.size());
  return t;
}

namespace {

std::string access_text(std::size_t bytes, access kind, const char* op) {
  return std::string(kind == access::read ? "read" : "write") + " of " + std::to_string(bytes) +
         " bytes by " + op;
}

// An invalid address this close past an allocation's end is named with it.
constexpr std::uintptr_t kNearBytes = 4096;

std::string range_text(std::uintptr_t a, std::size_t bytes) {
  return "[" + hex(a) + ", " + hex(a + bytes) + ")";
}

}  // namespace

std::size_t launch_checker::below(std::uintptr_t a) const {
  auto it = std::upper_bound(allocs_.begin(), allocs_.end(), a,
                             [](std::uintptr_t x, const allocation& al) { return x < al.start; });
  return it == allocs_.begin() ? allocs_.size()
                               : static_cast<std::size_t>(it - allocs_.begin()) - 1;
}

fault_text launch_checker::describe(const void* p, std::size_t bytes, std::size_t align,
                                    access kind, const char* op) const {
  const auto a = reinterpret_cast<std::uintptr_t>(p);
  const std::size_t i = below(a);
  if (align > 1 && a % align != 0)
    return {"misaligned global " + access_text(bytes, kind, op),
            range_text(a, bytes) + " starts at an address that is not " + std::to_string(align) +
                "-byte aligned"};
  const std::string what = "invalid global " + access_text(bytes, kind, op);
  if (i >= allocs_.size() || a >= allocs_[i].start + allocs_[i].bytes) {
    // Name the allocation just below, if the address lies within a page of its end.
    std::string near;
    if (i < allocs_.size() && a - (allocs_[i].start + allocs_[i].bytes) < kNearBytes)
      near = " (it begins " + std::to_string(a - (allocs_[i].start + allocs_[i].bytes)) +
             " bytes past the end of the allocation at " + hex(allocs_[i].start) + " of " +
             std::to_string(allocs_[i].bytes) + " bytes)";
    return {what, range_text(a, bytes) + " lies in no live allocation" + near};
  }
  const allocation& al = allocs_[i];
  return {what, range_text(a, bytes) + " overruns the allocation at " + hex(al.start) + " of " +
                    std::to_string(al.bytes) + " bytes by " +
                    std::to_string(a + bytes - (al.start + al.bytes)) + " bytes"};
}

bool launch_checker::check(const void* p, std::size_t bytes, std::size_t align, access kind,
                           thread_traffic& traffic) {
  const auto a = reinterpret_cast<std::uintptr_t>(p);
  if (align > 1 && a % align != 0) return false;
  checked_read* seen = nullptr;
  if (kind == access::read && traffic.checked) {
    seen = &traffic.checked[(a >> 8) % kCheckedReads];
    if (seen->start == a && seen->bytes == bytes) {
      traffic.loads[seen->alloc] += bytes;
      return true;
    }
  }
  // The allocation containing the first byte: a hot one, else a binary search (which makes it
  // hot).
  hot_allocation* hot = nullptr;
  for (hot_allocation& h : traffic.hot)
    if (a - h.start < h.bytes) {
      hot = &h;
      break;
    }
  if (!hot) {
    const std::size_t i = below(a);
    if (i >= allocs_.size() || a - allocs_[i].start >= allocs_[i].bytes) return false;
    hot = &traffic.hot[traffic.next_hot++ % kHotAllocations];
    *hot = {allocs_[i].start, allocs_[i].bytes, static_cast<std::uint32_t>(i), nullptr};
  }
  const std::size_t i = hot->alloc;
  const allocation& al = allocs_[i];
  if (bytes > al.start + al.bytes - a) return false;

  if (kind == access::write) {
    traffic.stores[i] += bytes;
    return true;
  }
  traffic.loads[i] += bytes;
  loaded_[i].mark(a - al.start, a - al.start + bytes, al.bytes, traffic.lines[i]);
  hot->lines = traffic.lines[i].get(al.bytes);  // whole-line reads of it are now marked inline
  if (seen && bytes <= UINT32_MAX)
    *seen = {a, static_cast<std::uint32_t>(bytes), static_cast<std::uint32_t>(i)};
  return true;
}

void launch_checker::merge(const thread_traffic& traffic) {
  std::lock_guard<std::mutex> lock(merge_mutex_);
  for (std::size_t i = 0; i < allocs_.size(); ++i) {
    loads_[i] += traffic.loads[i];
    stores_[i] += traffic.stores[i];
    loaded_[i].merge_lines(traffic.lines[i], allocs_[i].bytes);
  }
}

void launch_checker::report(launch_record& record) const {
  for (std::size_t i = 0; i < allocs_.size(); ++i) {
    const std::uintptr_t start = allocs_[i].start;
    if (loads_[i]) record.loads[start] = loads_[i];
    if (stores_[i]) record.stores[start] = stores_[i];
    if (loads_[i]) record.loads_unique[start] = loaded_[i].count(allocs_[i].bytes);
  }
}

}  // namespace xpuemu::detail
