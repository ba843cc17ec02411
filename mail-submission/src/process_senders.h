#pragma once

#include <string>

#include "queue/queue.h"

namespace quillpost {

// Stores message durably on the queue at pathName through this process's
// sender for that queue's store (or broker), which stays open for later
// sends. Safe from several threads at once; a forked child opens senders of
// its own. Throws what OpenQueue::Send throws.
void SendThroughProcessSender(const std::string& pathName, const queue::Message& message);

}  // namespace quillpost
