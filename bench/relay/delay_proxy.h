#pragma once

// A TCP forwarder on 127.0.0.1 that holds back everything the server says by
// a fixed delay, as a distant server would. What the client sends goes on at
// once. One thread serves every connection; it ends with the object.

#include <chrono>
#include <thread>

#include "posix/unique_fd.h"

namespace quillpost::bench {

class DelayProxy {
 public:
  DelayProxy(int serverPort, std::chrono::microseconds delay);
  ~DelayProxy();
  DelayProxy(const DelayProxy&) = delete;
  DelayProxy& operator=(const DelayProxy&) = delete;

  int Port() const { return port_; }

 private:
  void Run();

  int serverPort_;
  std::chrono::microseconds delay_;
  posix::UniqueFd listener_;
  posix::UniqueFd stopRead_;
  posix::UniqueFd stopWrite_;
  int port_ = 0;
  std::thread thread_;
};

}  // namespace quillpost::bench
