#pragma once

// Command lines and data lines in, replies out, over a Transport. Replies wait
// in a buffer and go out together when the client's next line has not come
// yet, which is what PIPELINING asks of a server.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "transport.h"

namespace quillpost::smtpd {

// RFC 5321 section 4.5.3.1.4 and 4.5.3.1.6: 1,000 octets with CR LF.
inline constexpr std::size_t kMaxLineOctets = 998;

struct Line {
  std::string text;      // without its CR LF; only a CR LF ends a line
  bool tooLong = false;  // the line was longer than kMaxLineOctets; text holds its start
};

class SmtpStream {
 public:
  explicit SmtpStream(std::unique_ptr<Transport> transport) : transport_(std::move(transport)) {}

  // The next line; empty when the client closed the connection. Sends the
  // waiting replies first when the line has not come in yet. Throws
  // TransportError, TransportTimeout after timeout without a line.
  std::optional<Line> ReadLine(std::chrono::milliseconds timeout);

  // Adds one reply line ("250 2.0.0 Ok") to the waiting replies.
  void Reply(std::string_view line);
  // Sends the waiting replies now.
  void Flush(std::chrono::milliseconds timeout);

  // Input that has come in but not been read (a client that pipelined past
  // STARTTLS); Discard drops it.
  bool HasUnreadInput() const { return start_ < input_.size(); }

  // The transport, for STARTTLS to wrap; SetTransport puts the new one in.
  std::unique_ptr<Transport> TakeTransport() { return std::move(transport_); }
  void SetTransport(std::unique_ptr<Transport> transport);

 private:
  std::unique_ptr<Transport> transport_;
  std::string input_;
  std::size_t start_ = 0;
  std::string replies_;
};

}  // namespace quillpost::smtpd
