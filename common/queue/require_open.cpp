#include "queue/backend.h"

// Apart from BackendFor, so that one backend's queues link no other backend
// (the broker's module holds no store).

namespace quillpost::queue {

void RequireOpenFor(const std::string& name, bool open, Access opened, Access wanted,
                    const char* operation) {
  if (!open) {
    throw QueueError("queue '" + name + "' is closed; cannot " + operation);
  }
  if (opened != wanted) {
    throw QueueError("queue '" + name + "' is open for " +
                     (opened == Access::Send ? "sending" : "receiving") + "; cannot " + operation);
  }
}

}  // namespace quillpost::queue
