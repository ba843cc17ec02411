#include <memory>

#include "queue/broker/broker_address.h"
#include "queue/broker/broker_connection.h"
#include "queue/broker/broker_entry.h"
#include "queue/broker/broker_queue.h"

namespace quillpost::queue {
namespace {

class BrokerBackendImpl final : public Backend {
 public:
  std::unique_ptr<OpenQueue> Open(const std::string& pathName, Access access) const override {
    return std::make_unique<BrokerQueue>(ParseBrokerQueuePath(pathName), access);
  }

  bool Exists(const std::string& pathName) const override {
    const BrokerQueueName name = ParseBrokerQueuePath(pathName);
    BrokerConnection connection(name.broker);
    return connection.Inspect(name.queue).has_value();
  }

  // A broker has no stores to create: access is the broker's to manage.
  bool Create(const std::string& pathName, StoreAccess /*access*/, QueueType type) const override {
    const BrokerQueueName name = ParseBrokerQueuePath(pathName);
    BrokerConnection connection(name.broker);
    return connection.Declare(name.queue, type);
  }

  void Delete(const std::string& pathName) const override {
    const BrokerQueueName name = ParseBrokerQueuePath(pathName);
    BrokerConnection connection(name.broker);
    connection.Delete(name.queue);
  }

  // A passive declare answers the count of ready messages; what waits in the
  // wait queues for its due time is not in it.
  QueueDepth Depth(const std::string& pathName,
                   std::optional<std::int64_t> /*knownHead*/) const override {
    const BrokerQueueName name = ParseBrokerQueuePath(pathName);
    BrokerConnection connection(name.broker);
    const std::optional<BrokerQueueCounts> counts = connection.Inspect(name.queue);
    if (!counts) {
      throw NoSuchQueue("there is no queue '" + name.queue + "' on broker " +
                        name.broker.Display());
    }
    QueueDepth depth;
    depth.waiting = counts->ready;
    return depth;
  }

  // Published with a confirm, then acknowledged: a failure in between leaves
  // the message on both queues.
  bool MovesAtomically() const override { return false; }
};

}  // namespace

const Backend& BrokerBackend() {
  static const BrokerBackendImpl backend;
  return backend;
}

}  // namespace quillpost::queue
