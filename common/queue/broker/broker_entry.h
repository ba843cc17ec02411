#pragma once

// The two ways into the broker that the rest of the queue layer uses, so that
// it does not link the broker itself: programs link them from
// quillpost_queue_broker; the submission library reaches them through the
// module quillpost-queue-broker.so (broker_module.h).

#include <memory>

#include "queue/backend.h"
#include "queue/shared_sender.h"

namespace quillpost::queue {

const Backend& BrokerBackend();

std::unique_ptr<SharedSender> MakeBrokerSender();

}  // namespace quillpost::queue
