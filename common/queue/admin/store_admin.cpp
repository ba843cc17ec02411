#include "queue/admin/store_admin.h"

#include <charconv>

#include "posix/same_file.h"
#include "queue/admin/queue_admin.h"
#include "queue/path_name.h"
#include "queue/store/store.h"
#include "queue/store/store_backend.h"

namespace quillpost::queue {
namespace {

class StoreAdminImpl final : public AdminBackend {
 public:
  std::vector<QueueInfo> List(const std::string& storeName) const override {
    const std::string folder = ParseStoreName(storeName);
    try {
      Store store(folder, Store::Mode::OpenExisting);
      return store.ListQueues();
    } catch (const StoreMissing&) {
      return {};
    }
  }

  std::vector<PeekedMessage> Peek(const std::string& pathName, bool withBodies,
                                  std::size_t limit) const override {
    StoreQueueRef queue = OpenExistingQueue(ParseQueuePath(pathName));
    return queue.store.Peek(queue.id, withBodies, limit);
  }

  std::size_t Purge(const std::string& pathName, const Progress& progress) const override {
    StoreQueueRef queue = OpenExistingQueue(ParseQueuePath(pathName));
    return static_cast<std::size_t>(queue.store.PurgeWaiting(queue.id, progress));
  }

  std::size_t Move(const std::string& fromPathName, const std::string& toPathName,
                   const Progress& progress) const override {
    const QueueLocation from = ParseQueuePath(fromPathName);
    const QueueLocation to = ParseQueuePath(toPathName);
    StoreQueueRef source = OpenExistingQueue(from);
    const StoreQueueRef target = OpenExistingQueue(to);
    if (!posix::SameFile(from.storeFolder, to.storeFolder)) {
      throw QueueError("cannot move messages from '" + fromPathName + "' to '" + toPathName +
                       "': both queues must be in the same store");
    }
    if (source.id == target.id) {
      throw QueueError("cannot move messages of '" + fromPathName + "' onto the same queue");
    }
    const std::int64_t moved = source.store.MoveWaiting(source.id, target.id, progress);
    if (moved > 0) {
      source.store.Ring(target.id);
    }
    return static_cast<std::size_t>(moved);
  }

  std::string Describe(const std::string& storeName) const override {
    std::string folder = ParseStoreName(storeName);
    // Opening it is what tells a store from a folder without one.
    const Store store(folder, Store::Mode::OpenExisting);
    return folder;
  }

  std::optional<LocatedMessage> Find(const std::string& storeName,
                                     const std::string& id) const override {
    return Open(storeName).FindById(ReadId(id));
  }

  void Remove(const std::string& storeName, const std::string& id) const override {
    Check(Open(storeName).RemoveById(ReadId(id)), id, {});
  }

  void MoveOne(const std::string& storeName, const std::string& id, const std::string& toQueue,
               const MoveChange& change) const override {
    Store store = Open(storeName);
    const std::optional<std::int64_t> target = store.FindQueue(toQueue);
    const auto outcome = target ? store.MoveById(ReadId(id), *target, change.label, change.dueNow)
                                : Store::ByIdOutcome::NoSuchTarget;
    Check(outcome, id, toQueue);
    store.Ring(*target);
  }

 private:
  static Store Open(const std::string& storeName) {
    return Store(ParseStoreName(storeName), Store::Mode::OpenExisting);
  }

  // A store's ids are its message numbers: whole numbers from 1. Anything
  // else names no message.
  static std::int64_t ReadId(const std::string& id) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(id.data(), id.data() + id.size(), value);
    if (error != std::errc() || end != id.data() + id.size() || value < 1) {
      return 0;
    }
    return value;
  }

  static void Check(Store::ByIdOutcome outcome, const std::string& id, const std::string& queue) {
    switch (outcome) {
      case Store::ByIdOutcome::Done:
        return;
      case Store::ByIdOutcome::NoSuchMessage:
        throw NoSuchMessage("there is no message " + id + " in the store");
      case Store::ByIdOutcome::InHand:
        throw QueueError("message " + id +
                         " is in hand: a relay is working on it right now; try again later");
      case Store::ByIdOutcome::NoSuchTarget:
        throw NoSuchQueue("there is no queue '" + queue + "' in the store");
    }
  }
};

}  // namespace

const AdminBackend& StoreAdmin() {
  static const StoreAdminImpl admin;
  return admin;
}

}  // namespace quillpost::queue
