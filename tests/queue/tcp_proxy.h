#pragma once

// A loopback TCP forwarder between a client and a server, for tests that
// break connections: Cut() ends every forwarded connection at once, and while
// refusing, new connections are closed as soon as they come.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace quillpost::queue::testing {

class TcpProxy {
 public:
  explicit TcpProxy(int targetPort) : targetPort_(targetPort) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot set up the test proxy");
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { Accept(); });
  }
  ~TcpProxy() {
    stopping_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    Cut();
    acceptor_.join();
    std::lock_guard lock(mutex_);
    for (std::thread& pump : pumps_) {
      pump.join();
    }
    for (const int fd : open_) {
      ::close(fd);
    }
    ::close(listener_);
  }
  TcpProxy(const TcpProxy&) = delete;
  TcpProxy& operator=(const TcpProxy&) = delete;

  int Port() const { return port_; }
  void Refuse(bool refuse) { refusing_ = refuse; }
  // Ends every forwarded connection, as a broker that went away would.
  void Cut() {
    std::lock_guard lock(mutex_);
    for (const int fd : open_) {
      ::shutdown(fd, SHUT_RDWR);
    }
  }

 private:
  static sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
  }

  void Accept() {
    while (!stopping_) {
      const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) {
        if (stopping_) {
          return;
        }
        continue;
      }
      if (refusing_) {
        ::close(client);
        continue;
      }
      const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in target = Loopback(targetPort_);
      if (::connect(server, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
        ::close(client);
        ::close(server);
        continue;
      }
      std::lock_guard lock(mutex_);
      open_.push_back(client);
      open_.push_back(server);
      pumps_.emplace_back([client, server] { Forward(client, server); });
    }
  }

  static void Forward(int a, int b) {
    pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    char buffer[65536];
    for (;;) {
      if (::poll(fds, 2, 500) < 0) {
        break;
      }
      bool ended = false;
      for (int i = 0; i < 2; ++i) {
        if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
          continue;
        }
        const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
        if (got <= 0 ||
            ::send(fds[1 - i].fd, buffer, static_cast<std::size_t>(got), MSG_NOSIGNAL) != got) {
          ended = true;
        }
      }
      if (ended) {
        break;
      }
    }
    ::shutdown(a, SHUT_RDWR);
    ::shutdown(b, SHUT_RDWR);
  }

  int targetPort_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> refusing_{false};
  std::mutex mutex_;
  std::vector<int> open_;
  std::vector<std::thread> pumps_;
  std::thread acceptor_;
};

}  // namespace quillpost::queue::testing
