#pragma once

// What a session reports besides its replies: each message queued (for the
// mail log and the counters) and each refusal, by kind.

#include <cstdint>
#include <string>
#include <vector>

namespace quillpost::smtpd {

enum class Refusal {
  TooLarge,
  TooManyRecipients,
  BadMessage,    // a bare CR or LF, a line too long, an empty message
  NotPermitted,  // a client that may not submit, or failed authentication
  QueueFailed,   // the store was full, busy or missing: 451 or 452
  Timeout,
  Protocol,  // commands out of order or malformed
};

struct QueuedMessage {
  std::string id;
  std::string client;  // numeric address
  std::string sender;
  std::vector<std::string> recipients;
  std::uint64_t size = 0;  // octets of the message as the client sent it
};

class SessionObserver {
 public:
  virtual ~SessionObserver() = default;
  virtual void Queued(const QueuedMessage& message) = 0;
  virtual void Refused(Refusal refusal) = 0;
};

}  // namespace quillpost::smtpd
