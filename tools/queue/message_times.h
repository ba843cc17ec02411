#pragma once

#include <ostream>

#include "queue/queue_info.h"

namespace quillpost::queue {

// The lines under a peeked message that say when it is tried next (when that
// is still to come) and why it last failed (when it did).
void WriteMessageTimes(std::ostream& out, const PeekedMessage& message);

}  // namespace quillpost::queue
