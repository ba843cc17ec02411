#include "queue/admin/queue_admin.h"

#include "queue/admin/broker_admin.h"
#include "queue/admin/store_admin.h"
#include "queue/backend.h"
#include "queue/path_name.h"
#include "queue/store/store.h"

namespace quillpost::queue {

const AdminBackend& AdminBackendFor(const std::string& pathName) {
  switch (BackendKindOf(pathName)) {
    case BackendKind::Broker:
      return BrokerAdmin();
    case BackendKind::Store:
      break;
  }
  return StoreAdmin();
}

bool CreateQueue(const std::string& pathName, StoreAccess access, QueueType type) {
  return BackendFor(pathName).Create(pathName, access, type);
}

void DeleteQueue(const std::string& pathName) {
  BackendFor(pathName).Delete(pathName);
}

std::vector<QueueInfo> ListQueues(const std::string& storeName) {
  return AdminBackendFor(storeName).List(storeName);
}

std::vector<PeekedMessage> PeekQueue(const std::string& pathName, bool withBodies,
                                     std::size_t limit) {
  return AdminBackendFor(pathName).Peek(pathName, withBodies, limit);
}

std::size_t PurgeQueue(const std::string& pathName, const Progress& progress) {
  return AdminBackendFor(pathName).Purge(pathName, progress);
}

std::size_t MoveMessages(const std::string& fromPathName, const std::string& toPathName,
                         const Progress& progress) {
  if (BackendKindOf(fromPathName) != BackendKindOf(toPathName)) {
    throw QueueError("cannot move messages from '" + RedactPathName(fromPathName) + "' to '" +
                     RedactPathName(toPathName) + "': both queues must be in the same store");
  }
  return AdminBackendFor(fromPathName).Move(fromPathName, toPathName, progress);
}

std::string DescribeStore(const std::string& storeName) {
  return AdminBackendFor(storeName).Describe(storeName);
}

std::optional<LocatedMessage> FindMessage(const std::string& storeName, const std::string& id) {
  return AdminBackendFor(storeName).Find(storeName, id);
}

void RemoveMessage(const std::string& storeName, const std::string& id) {
  AdminBackendFor(storeName).Remove(storeName, id);
}

void MoveMessage(const std::string& storeName, const std::string& id, const std::string& toQueue,
                 const MoveChange& change) {
  if (!IsValidQueueName(toQueue)) {
    throw QueueError("'" + RedactPathName(toQueue) +
                     "' is not a queue name: a message moves within its store");
  }
  AdminBackendFor(storeName).MoveOne(storeName, id, toQueue, change);
}

void SetLockTimeout(std::chrono::milliseconds timeout) {
  SetStoreLockTimeout(timeout);
}

std::chrono::milliseconds LockTimeout() {
  return StoreLockTimeout();
}

}  // namespace quillpost::queue
