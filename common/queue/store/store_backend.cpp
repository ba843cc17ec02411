#include "queue/store/store_backend.h"

#include <memory>
#include <optional>

#include "queue/store/holder.h"
#include "queue/store/store_queue.h"

namespace quillpost::queue {
namespace {

std::string NoQueueText(const QueueLocation& location) {
  return "there is no queue '" + location.queueName + "' in store " + location.storeFolder;
}

class StoreBackendImpl final : public Backend {
 public:
  std::unique_ptr<OpenQueue> Open(const std::string& pathName, Access access) const override {
    const QueueLocation location = ParseQueuePath(pathName);
    std::shared_ptr<StoreSession> session;
    try {
      session =
          std::make_shared<StoreSession>(Store(location.storeFolder, Store::Mode::OpenExisting));
    } catch (const StoreMissing&) {
      throw NoSuchQueue(NoQueueText(location) + " (there is no store there)");
    }
    const std::optional<std::int64_t> id = session->store.FindQueue(location.queueName);
    if (!id) {
      throw NoSuchQueue(NoQueueText(location));
    }
    if (access == Access::Receive) {
      session->holder = Holder::ForStore(session->store.Folder(), session->store.FileMode());
    }
    return std::make_unique<StoreQueue>(pathName, access, std::move(session), *id);
  }

  bool Exists(const std::string& pathName) const override {
    const QueueLocation location = ParseQueuePath(pathName);
    try {
      Store store(location.storeFolder, Store::Mode::OpenExisting);
      return store.FindQueue(location.queueName).has_value();
    } catch (const StoreMissing&) {
      return false;
    }
  }

  bool Create(const std::string& pathName, StoreAccess access, QueueType type) const override {
    const QueueLocation location = ParseQueuePath(pathName);
    if (type != QueueType::Classic) {
      throw QueueError("queue '" + location.queueName +
                       "' is in a store, whose queues have no type: quorum queues are a "
                       "broker's");
    }
    Store store(location.storeFolder, Store::Mode::CreateIfMissing, access);
    return store.CreateQueue(location.queueName);
  }

  void Delete(const std::string& pathName) const override {
    const QueueLocation location = ParseQueuePath(pathName);
    StoreQueueRef queue = OpenExistingQueue(location);
    if (!queue.store.DeleteQueue(location.queueName)) {
      throw NoSuchQueue(NoQueueText(location));
    }
  }

  QueueDepth Depth(const std::string& pathName,
                   std::optional<std::int64_t> knownHead) const override {
    const QueueLocation location = ParseQueuePath(pathName);
    StoreQueueRef queue = OpenExistingQueue(location);
    return queue.store.Depth(queue.id, knownHead);
  }

  // One transaction takes the message off one queue and puts it on the other.
  bool MovesAtomically() const override { return true; }
};

}  // namespace

StoreQueueRef OpenExistingQueue(const QueueLocation& location) {
  try {
    Store store(location.storeFolder, Store::Mode::OpenExisting);
    const std::optional<std::int64_t> id = store.FindQueue(location.queueName);
    if (!id) {
      throw NoSuchQueue(NoQueueText(location));
    }
    return {std::move(store), *id};
  } catch (const StoreMissing&) {
    throw NoSuchQueue(NoQueueText(location) + " (there is no store there)");
  }
}

const Backend& StoreBackend() {
  static const StoreBackendImpl backend;
  return backend;
}

}  // namespace quillpost::queue
