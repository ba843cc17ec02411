#pragma once

// Who a request is on each try: its name in the logs, the Message-ID and Date
// its mail carries, and how many tries came before. The name and the time
// come from the queue that holds the request, never from the document, so
// that no writer can choose or copy them, and they are the same on every try,
// whichever relay makes it and whether or not a crash came in between.

#include <chrono>
#include <string>

#include "document/request_reader.h"
#include "queue/queue.h"

namespace quillpost::relay {

struct RequestIdentity {
  std::string queueId;    // 16 hex digits: the message's name in its store
  std::string messageId;  // "<queueId.quillpost@domain>"
  // When the request came into its queue; never later than the try.
  std::chrono::system_clock::time_point submitted;
  int tries = 0;  // tries made before this one
};

// The identity of message on a try that began at now. request is the
// message's body as read, or null when it could not be read.
RequestIdentity IdentifyRequest(const queue::ReceivedMessage& message,
                                const document::RequestReader* request,
                                std::chrono::system_clock::time_point now);

}  // namespace quillpost::relay
