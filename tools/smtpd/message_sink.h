#pragma once

// Where a session hands each message it has read in full: the inbound queue
// (queue_sink.h), or a fake in tests.

#include <optional>
#include <string>
#include <vector>

namespace quillpost::smtpd {

struct Envelope {
  std::string sender;
  std::vector<std::string> recipients;
};

// The reply to the end of DATA, and the queue's answer behind it.
struct SinkReply {
  int code = 451;
  std::string enhanced = "4.3.0";
  std::string text;
  bool queued = false;  // true only once the message is durable
};

class MessageSink {
 public:
  virtual ~MessageSink() = default;
  // message is the whole RFC 5322 text with CR LF line ends, trace field
  // included; id is the listener's name for it.
  virtual SinkReply Queue(const Envelope& envelope, const std::string& message,
                          const std::string& id) = 0;
};

}  // namespace quillpost::smtpd
