// A request whose body is larger than any queue takes from a sender. It can
// only have been written into a store or published on a broker by hand, so it
// is not dispatched: it goes to the dead-letter queue as it is, and should
// even that fail, it stays in hand (hidden from every other receiver) until
// the relay ends, so the requests behind it are still delivered.

#include <string>

#include "relay/status.h"

namespace quillpost::relay {

namespace {

// What the relay adds to a request it puts back on a queue (its count of
// tries) must never make the request too large for the relay itself: a
// request the queue took from a sender stays within the limit with room to
// spare.
constexpr std::size_t kRelayRoom = 64 * 1024;

}  // namespace

bool Status::IsOversized(const queue::ReceivedMessage& message) {
  return message.Body().size() > queue::kMaxBodyBytes + kRelayRoom;
}

Status::After Status::DeadLetterOversized(queue::ReceivedMessage& message,
                                          const std::string& queueName) {
  const std::string data =
      "Queue=" + queueName + ", Size=" + std::to_string(message.Body().size()) +
      " bytes, Limit=" + std::to_string(queue::kMaxBodyBytes + kRelayRoom) + " bytes";
  if (DeadLetter(message, "Request too large; moved to dead-letter queue", data)) {
    return After::Rearm;
  }
  WriteLog("Request too large and not movable; set aside until the relay stops", data);
  setAside_.push_back(std::move(message));
  return After::Rearm;
}

}  // namespace quillpost::relay
