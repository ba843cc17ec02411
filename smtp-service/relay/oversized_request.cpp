// A request whose body is larger than any queue takes from a sender. It can
// only have been written into a store or published on a broker by hand, so it
// is not dispatched: it goes to the dead-letter queue as it is, and should
// even that fail, it stays in hand (hidden from every other receiver) until
// the relay ends, so the requests behind it are still delivered. A store does
// not even read such a body: the request is judged by its size alone, and
// its body moves to the dead-letter queue within the store.

#include <string>

#include "relay/status.h"

namespace quillpost::relay {

bool Status::IsOversized(const queue::ReceivedMessage& message) {
  return message.BodySize() > queue::kMaxReceivedBodyBytes;
}

Status::After Status::DeadLetterOversized(queue::ReceivedMessage& message,
                                          const std::string& queueName) {
  const std::string data = "Queue=" + queueName + ", Size=" + std::to_string(message.BodySize()) +
                           " bytes, Limit=" + std::to_string(queue::kMaxReceivedBodyBytes) +
                           " bytes";
  if (DeadLetter(message, "Request too large; moved to dead-letter queue", data)) {
    return After::Rearm;
  }
  WriteLog("Request too large and not movable; set aside until the relay stops", data);
  setAside_.push_back(std::move(message));
  return After::Rearm;
}

}  // namespace quillpost::relay
