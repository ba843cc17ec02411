#pragma once

// Queues on a broker behind the backend interface: amqp:// and amqps:// path
// names.

#include "queue/backend.h"

namespace quillpost::queue {

const Backend& BrokerBackend();

}  // namespace quillpost::queue
