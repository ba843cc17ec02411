#pragma once

// Sending from a long-lived process: a sender keeps what it opened (a store's
// connection and bells, a broker's connection) for the next message, and may
// be used from any number of threads at once. Every Send still returns only
// once its message is durable.
//
// One sender serves every queue of one store (or one broker queue): path
// names with the same SharedSenderKey share a sender. Who keeps senders, and
// for how long, is the caller's choice (the submission library keeps one per
// key for the life of the process).

#include <memory>
#include <string>

#include "queue/queue.h"

namespace quillpost::queue {

class SharedSender {
 public:
  virtual ~SharedSender() = default;

  // Stores message on the queue at pathName, whose key must be this sender's,
  // durably, as OpenQueue::Send does. Throws what OpenQueue::Send and
  // QueuePath::Open throw. Safe to call from several threads at once.
  virtual void Send(const std::string& pathName, const Message& message) = 0;
};

// Path names with the same key share a sender: the store folder of a store
// queue, the path name itself of a broker queue. Throws QueueError when
// pathName is not a path name.
std::string SharedSenderKey(const std::string& pathName);

// Opens nothing yet: the first Send does.
std::unique_ptr<SharedSender> MakeSharedSender(const std::string& pathName);

}  // namespace quillpost::queue
