#pragma once

// The administration of queues on a broker: what queue_admin.h offers, for
// amqp:// and amqps:// path names.

#include <cstddef>
#include <string>
#include <vector>

#include "queue/queue_admin.h"

namespace quillpost::queue::broker {

bool QueueExists(const std::string& pathName);
bool CreateQueue(const std::string& pathName);
void DeleteQueue(const std::string& pathName);
// Queue names from the broker's management interface, counts of waiting
// messages from the broker itself.
std::vector<QueueInfo> ListQueues(const std::string& storeName);
std::vector<PeekedMessage> PeekQueue(const std::string& pathName, bool withBodies,
                                     std::size_t limit);
std::size_t PurgeQueue(const std::string& pathName);
std::size_t MoveMessages(const std::string& fromPathName, const std::string& toPathName);

}  // namespace quillpost::queue::broker
