#include "queue/backend.h"

#include "queue/broker/broker_entry.h"
#include "queue/path_name.h"
#include "queue/store/store_backend.h"

namespace quillpost::queue {

const Backend& BackendFor(const std::string& pathName) {
  switch (BackendKindOf(pathName)) {
    case BackendKind::Broker:
      return BrokerBackend();
    case BackendKind::Store:
      break;
  }
  return StoreBackend();
}

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
