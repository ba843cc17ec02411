#pragma once

// What list, peek and show print with --json, for monitoring: one JSON
// document each (field names in docs/man/quillpost-queue.1.scd).

#include <string>
#include <vector>

#include "queue/queue_info.h"

namespace quillpost::queue {

std::string ListJson(const std::string& store, const std::vector<QueueInfo>& queues);
std::string PeekJson(const std::string& queue, const std::vector<PeekedMessage>& messages,
                     bool withBodies);
std::string ShowJson(const LocatedMessage& located);

}  // namespace quillpost::queue
