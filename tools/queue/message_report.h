#pragma once

// The texts of one message (show) and of the whole store as mailq lists it.

#include <ostream>
#include <string>

#include "queue/queue_info.h"

namespace quillpost::queue {

// Everything about one message, one "name: value" line each; "—" where
// there is nothing to show.
void WriteMessageReport(std::ostream& out, const LocatedMessage& located);

// Every message of every queue of the store, as sendmail's mailq lists a
// queue: id, size, arrival and sender, then each recipient and, indented,
// why it last failed; "Mail queue is empty" when there is none.
void WriteMailq(std::ostream& out, const std::string& storeName);

}  // namespace quillpost::queue
