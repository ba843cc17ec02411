#pragma once

// A client's connection as bytes in and out: a plain socket, or TLS over it
// after STARTTLS.

#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <string_view>

namespace quillpost::smtpd {

// The connection failed or the client went away in the middle of a write.
class TransportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The client sent nothing for longer than the time-out.
class TransportTimeout : public TransportError {
 public:
  using TransportError::TransportError;
};

class Transport {
 public:
  virtual ~Transport() = default;

  // Reads what has come, up to size octets, waiting at most timeout for the
  // first. Returns 0 when the client has closed its side.
  virtual std::size_t Read(char* buffer, std::size_t size, std::chrono::milliseconds timeout) = 0;

  // Writes every octet, waiting at most timeout for the client to take them.
  virtual void Write(std::string_view bytes, std::chrono::milliseconds timeout) = 0;
};

}  // namespace quillpost::smtpd
