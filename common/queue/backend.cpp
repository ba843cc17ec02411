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

}  // namespace quillpost::queue
