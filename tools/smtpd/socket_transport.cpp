#include "socket_transport.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "posix/system_error.h"

namespace quillpost::smtpd {
namespace {

bool WaitFor(int socket, short events, std::chrono::milliseconds timeout) {
  pollfd entry{socket, events, 0};
  for (;;) {
    const int ready = ::poll(&entry, 1, static_cast<int>(timeout.count()));
    if (ready >= 0) {
      return ready > 0;
    }
    if (errno != EINTR) {
      posix::ThrowSystem<TransportError>("waiting for the client");
    }
  }
}

}  // namespace

bool SocketTransport::WaitReadable(int socket, std::chrono::milliseconds timeout) {
  return WaitFor(socket, POLLIN, timeout);
}

std::size_t SocketTransport::Read(char* buffer, std::size_t size,
                                  std::chrono::milliseconds timeout) {
  // What has come is taken at once; poll only when nothing has.
  for (;;) {
    const ssize_t got = ::recv(socket_, buffer, size, MSG_DONTWAIT);
    if (got >= 0) {
      return static_cast<std::size_t>(got);
    }
    if (errno == ECONNRESET) {
      return 0;
    }
    if (errno == EAGAIN) {
      if (!WaitFor(socket_, POLLIN, timeout)) {
        throw TransportTimeout("the client sent nothing for too long");
      }
    } else if (errno != EINTR) {
      posix::ThrowSystem<TransportError>("reading from the client");
    }
  }
}

void SocketTransport::Write(std::string_view bytes, std::chrono::milliseconds timeout) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) {
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    } else if (errno == EAGAIN) {
      if (!WaitFor(socket_, POLLOUT, timeout)) {
        throw TransportTimeout("the client took no reply for too long");
      }
    } else if (errno != EINTR) {
      posix::ThrowSystem<TransportError>("writing to the client");
    }
  }
}

}  // namespace quillpost::smtpd
