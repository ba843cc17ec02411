#pragma once

#include <unistd.h>

#include <utility>

namespace quillpost::bench {

// An owned file descriptor, closed when the object goes.
class UniqueSocket {
 public:
  UniqueSocket() = default;
  explicit UniqueSocket(int fd) : fd_(fd) {}
  ~UniqueSocket() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  UniqueSocket(UniqueSocket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueSocket& operator=(UniqueSocket&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  UniqueSocket(const UniqueSocket&) = delete;
  UniqueSocket& operator=(const UniqueSocket&) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace quillpost::bench
