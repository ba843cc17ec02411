#pragma once

// The mail log: one line per try of a request, sent to the system log with
// facility mail, in the form that log tools for mail relays already read:
//
//   quillpost/smtp[PID]: 3F2A9C01D4E5B6A7: from=<ann@example.org>, to=<bob@example.net>,
//       relay=mail.example.org:25, delay=4, tries=1, status=sent (250 2.0.0 Ok: queued)

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quillpost::relay::maillog {

// Queued: a delivery status notification the relay wrote and queued.
enum class Status { Sent, Deferred, Bounced, Queued };

struct Outcome {
  std::string queueId;
  std::string from;
  std::vector<std::string> to;
  std::string relay;  // host:port
  std::chrono::seconds delay{0};
  int tries = 0;
  Status status = Status::Sent;
  std::string detail;  // the server's reply or the local reason
  std::string notice;  // the id of the notice this outcome caused; empty: none
};

std::string FormatOutcome(const Outcome& outcome);

// Receives each line with its syslog priority (LOG_INFO, LOG_WARNING).
using Sink = std::function<void(int priority, std::string_view line)>;

// Writes one line. Never throws.
void Write(const Outcome& outcome) noexcept;

// Installs a sink for the lifetime of the object instead of the system log
// (tests use it to see the lines).
class ScopedSink {
 public:
  explicit ScopedSink(Sink sink);
  ~ScopedSink();
  ScopedSink(const ScopedSink&) = delete;
  ScopedSink& operator=(const ScopedSink&) = delete;

 private:
  Sink previous_;
};

}  // namespace quillpost::relay::maillog
