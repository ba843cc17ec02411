#pragma once

// Connections of closed send queues, kept for the next send queue to the same
// broker: an application that opens a queue for every request (as the
// submission library does) then pays for one connection, not one per request,
// and the broker is spared a connection per message.

#include <memory>

#include "queue/broker/broker_address.h"
#include "queue/broker/broker_connection.h"

namespace quillpost::queue {

// A kept connection to address that still works, or nullptr.
std::unique_ptr<BrokerConnection> TakeIdleConnection(const BrokerAddress& address);

// Keeps connection for later (a few per process; more are closed).
void KeepIdleConnection(std::unique_ptr<BrokerConnection> connection);

}  // namespace quillpost::queue
