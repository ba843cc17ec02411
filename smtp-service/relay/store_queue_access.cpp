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

void StoreQueueAccess::Send(const std::string& pathName, const queue::Message& message) {
  const std::unique_ptr<queue::OpenQueue> queue =
      queue::QueuePath(pathName).Open(queue::Access::Send, queue::ShareMode::DenyNone);
  queue->Send(message);
  queue->Close();
}

}  // namespace quillpost::relay
