#pragma once

// The reply of the broker's management interface to a queue list, read with
// nlohmann-json (see README.md).

#include <string_view>
#include <vector>

#include "queue/queue_info.h"

namespace quillpost::queue::broker {

// Reads the interface's answer: a JSON array of objects with "name" and
// "messages_unacknowledged". Throws QueueError on anything else, and on
// nesting deeper than 64 levels.
std::vector<QueueInfo> ParseQueueList(std::string_view json);

}  // namespace quillpost::queue::broker
