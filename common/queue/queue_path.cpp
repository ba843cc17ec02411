#include <memory>

#include "queue/broker_address.h"
#include "queue/broker_admin.h"
#include "queue/broker_queue.h"
#include "queue/path_name.h"
#include "queue/queue.h"
#include "queue/queue_admin.h"
#include "queue/store.h"
#include "queue/store_queue.h"

namespace quillpost::queue {
namespace {

std::string NoQueueText(const QueueLocation& location) {
  return "there is no queue '" + location.queueName + "' in store " + location.storeFolder;
}

}  // namespace

QueuePath::QueuePath(std::string pathName) : pathName_(std::move(pathName)) {}

std::unique_ptr<OpenQueue> QueuePath::Open(Access access, ShareMode share) const {
  if (access != Access::Receive && access != Access::Send) {
    throw QueueError("queue '" + RedactPathName(pathName_) +
                     "' can be opened for receiving or for sending only");
  }
  if (share != ShareMode::DenyNone) {
    throw QueueError("queue '" + RedactPathName(pathName_) +
                     "' can only be opened shared (deny none)");
  }
  if (IsBrokerUrl(pathName_)) {
    return std::make_unique<BrokerQueue>(ParseBrokerQueuePath(pathName_), access);
  }
  const QueueLocation location = ParseQueuePath(pathName_);
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
  return std::make_unique<StoreQueue>(pathName_, access, std::move(session), *id);
}

bool QueuePath::Exists() const {
  if (IsBrokerUrl(pathName_)) {
    return broker::QueueExists(pathName_);
  }
  const QueueLocation location = ParseQueuePath(pathName_);
  try {
    Store store(location.storeFolder, Store::Mode::OpenExisting);
    return store.FindQueue(location.queueName).has_value();
  } catch (const StoreMissing&) {
    return false;
  }
}

bool QueuePath::Create() const {
  return CreateQueue(pathName_);
}

void QueuePath::Delete() const {
  DeleteQueue(pathName_);
}

}  // namespace quillpost::queue
