#include "relay/queue_access.h"

namespace quillpost::relay {

void StoreQueueAccess::EnsureExists(const std::string& pathName) {
  const queue::QueuePath path(pathName);
  if (!path.Exists()) {
    path.Create();
  }
}

std::unique_ptr<queue::OpenQueue> StoreQueueAccess::OpenForReceive(const std::string& pathName) {
  return queue::QueuePath(pathName).Open(queue::Access::Receive, queue::ShareMode::DenyNone);
}

}  // namespace quillpost::relay
