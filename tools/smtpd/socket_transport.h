#pragma once

// A plain TCP connection to a client; the socket is borrowed, its owner
// closes it.

#include "transport.h"

namespace quillpost::smtpd {

class SocketTransport : public Transport {
 public:
  explicit SocketTransport(int socket) : socket_(socket) {}

  std::size_t Read(char* buffer, std::size_t size, std::chrono::milliseconds timeout) override;
  void Write(std::string_view bytes, std::chrono::milliseconds timeout) override;

  // Waits until the socket is readable (true) or the time is up (false).
  static bool WaitReadable(int socket, std::chrono::milliseconds timeout);

 private:
  int socket_;
};

}  // namespace quillpost::smtpd
