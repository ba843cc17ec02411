#pragma once

// The broker's management interface (HTTP): the one place that can list the
// queues of a virtual host. Its base address is $QUILLPOST_AMQP_MANAGEMENT
// when set (http://host:port, or several nodes' separated by commas), else
// http://HOST:15672 (https://HOST:15671 for amqps) of every node of the
// address, with the broker's user and password. Any node answers for the
// whole cluster: they are asked in turn, from a random one.

#include <string>
#include <vector>

#include "queue/broker/broker_address.h"
#include "queue/queue_info.h"

namespace quillpost::queue::broker {

// Every queue of the address's virtual host, by name, with the messages in
// hand (as the interface counted them lately); waiting counts are left zero.
// An unknown virtual host has no queues. Throws QueueError.
std::vector<QueueInfo> ManagedQueues(const BrokerAddress& address);

}  // namespace quillpost::queue::broker
