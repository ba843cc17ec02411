#include "queue/admin/store_admin.h"

#include "posix/same_file.h"
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

  std::size_t Purge(const std::string& pathName) const override {
    StoreQueueRef queue = OpenExistingQueue(ParseQueuePath(pathName));
    return static_cast<std::size_t>(queue.store.PurgeWaiting(queue.id));
  }

  std::size_t Move(const std::string& fromPathName, const std::string& toPathName) const override {
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
    const std::int64_t moved = source.store.MoveWaiting(source.id, target.id);
    if (moved > 0) {
      source.store.Ring(target.id);
    }
    return static_cast<std::size_t>(moved);
  }
};

}  // namespace

const AdminBackend& StoreAdmin() {
  static const StoreAdminImpl admin;
  return admin;
}

}  // namespace quillpost::queue
