#include "queue/queue_admin.h"

#include <sys/stat.h>

#include "queue/broker_address.h"
#include "queue/broker_admin.h"
#include "queue/path_name.h"
#include "queue/store.h"

namespace quillpost::queue {
namespace {

struct OpenedQueue {
  Store store;
  std::int64_t id;
};

// The store of an existing queue; NoSuchQueue when either is missing.
OpenedQueue OpenQueueOf(const QueueLocation& location) {
  try {
    Store store(location.storeFolder, Store::Mode::OpenExisting);
    const std::optional<std::int64_t> id = store.FindQueue(location.queueName);
    if (!id) {
      throw NoSuchQueue("there is no queue '" + location.queueName + "' in store " +
                        location.storeFolder);
    }
    return {std::move(store), *id};
  } catch (const StoreMissing&) {
    throw NoSuchQueue("there is no queue '" + location.queueName + "' in store " +
                      location.storeFolder + " (there is no store there)");
  }
}

bool SameFolder(const std::string& a, const std::string& b) {
  struct stat first {};
  struct stat second {};
  return a == b || (::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
                    first.st_dev == second.st_dev && first.st_ino == second.st_ino);
}

}  // namespace

bool CreateQueue(const std::string& pathName, StoreAccess access) {
  if (IsBrokerUrl(pathName)) {
    return broker::CreateQueue(pathName);
  }
  const QueueLocation location = ParseQueuePath(pathName);
  Store store(location.storeFolder, Store::Mode::CreateIfMissing, access);
  return store.CreateQueue(location.queueName);
}

void DeleteQueue(const std::string& pathName) {
  if (IsBrokerUrl(pathName)) {
    broker::DeleteQueue(pathName);
    return;
  }
  const QueueLocation location = ParseQueuePath(pathName);
  OpenedQueue queue = OpenQueueOf(location);
  if (!queue.store.DeleteQueue(location.queueName)) {
    throw NoSuchQueue("there is no queue '" + location.queueName + "' in store " +
                      location.storeFolder);
  }
}

std::vector<QueueInfo> ListQueues(const std::string& storeName) {
  if (IsBrokerUrl(storeName)) {
    return broker::ListQueues(storeName);
  }
  const std::string folder = ParseStoreName(storeName);
  try {
    Store store(folder, Store::Mode::OpenExisting);
    return store.ListQueues();
  } catch (const StoreMissing&) {
    return {};
  }
}

std::vector<PeekedMessage> PeekQueue(const std::string& pathName, bool withBodies,
                                     std::size_t limit) {
  if (IsBrokerUrl(pathName)) {
    return broker::PeekQueue(pathName, withBodies, limit);
  }
  OpenedQueue queue = OpenQueueOf(ParseQueuePath(pathName));
  return queue.store.Peek(queue.id, withBodies, limit);
}

std::size_t PurgeQueue(const std::string& pathName) {
  if (IsBrokerUrl(pathName)) {
    return broker::PurgeQueue(pathName);
  }
  OpenedQueue queue = OpenQueueOf(ParseQueuePath(pathName));
  return static_cast<std::size_t>(queue.store.PurgeWaiting(queue.id));
}

std::size_t MoveMessages(const std::string& fromPathName, const std::string& toPathName) {
  if (IsBrokerUrl(fromPathName) || IsBrokerUrl(toPathName)) {
    if (IsBrokerUrl(fromPathName) != IsBrokerUrl(toPathName)) {
      throw QueueError("cannot move messages from '" + RedactPathName(fromPathName) + "' to '" +
                       RedactPathName(toPathName) + "': both queues must be in the same store");
    }
    return broker::MoveMessages(fromPathName, toPathName);
  }
  const QueueLocation from = ParseQueuePath(fromPathName);
  const QueueLocation to = ParseQueuePath(toPathName);
  OpenedQueue source = OpenQueueOf(from);
  const OpenedQueue target = OpenQueueOf(to);
  if (!SameFolder(from.storeFolder, to.storeFolder)) {
    throw QueueError("cannot move messages from '" + fromPathName + "' to '" + toPathName +
                     "': both queues must be in the same store");
  }
  if (source.id == target.id) {
    throw QueueError("cannot move messages of '" + fromPathName + "' onto the same queue");
  }
  const std::int64_t moved = source.store.MoveWaiting(source.id, target.id);
  if (moved > 0) {
    source.store.Ring(target.id);
  }
  return static_cast<std::size_t>(moved);
}

}  // namespace quillpost::queue
