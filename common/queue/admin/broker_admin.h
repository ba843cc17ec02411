#pragma once

// Administration of queues on a broker: list (through the management
// interface), peek, purge and move, for amqp:// and amqps:// path names.

#include "queue/backend.h"

namespace quillpost::queue {

const AdminBackend& BrokerAdmin();

}  // namespace quillpost::queue
