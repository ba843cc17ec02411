#include "queue/shared_sender.h"

#include "queue/broker/broker_entry.h"
#include "queue/path_name.h"
#include "queue/store/store_sender.h"

namespace quillpost::queue {

std::string SharedSenderKey(const std::string& pathName) {
  switch (BackendKindOf(pathName)) {
    case BackendKind::Broker:
      return pathName;
    case BackendKind::Store:
      break;
  }
  return "file://" + ParseQueuePath(pathName).storeFolder;
}

std::unique_ptr<SharedSender> MakeSharedSender(const std::string& pathName) {
  switch (BackendKindOf(pathName)) {
    case BackendKind::Broker:
      return MakeBrokerSender();
    case BackendKind::Store:
      break;
  }
  return std::make_unique<StoreSender>(ParseQueuePath(pathName).storeFolder);
}

}  // namespace quillpost::queue
