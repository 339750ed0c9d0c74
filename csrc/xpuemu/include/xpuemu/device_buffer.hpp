// A typed device allocation for C++ code that runs kernels without torch.
#pragma once

#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

#include "xpuemu/runtime.hpp"

namespace xpuemu {

template <typename T>
class device_buffer {
 public:
  explicit device_buffer(std::size_t count)
      : data_(static_cast<T*>(device_malloc(count * sizeof(T)))), size_(count) {}
  explicit device_buffer(const std::vector<T>& host) : device_buffer(host.size()) {
    std::memcpy(data_, host.data(), host.size() * sizeof(T));
  }
  device_buffer(const device_buffer&) = delete;
  device_buffer& operator=(const device_buffer&) = delete;
  device_buffer(device_buffer&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)) {}
  device_buffer& operator=(device_buffer&& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
    return *this;
  }
  ~device_buffer() { device_free(data_); }  // deferred until earlier launches have run

  T* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::size_t bytes() const { return size_ * sizeof(T); }

  // Copies the contents out after every earlier launch has run (throws their failure, if any).
  std::vector<T> download() const {
    synchronize();
    std::vector<T> host(size_);
    std::memcpy(host.data(), data_, bytes());
    return host;
  }

 private:
  T* data_;
  std::size_t size_;
};

}  // namespace xpuemu
