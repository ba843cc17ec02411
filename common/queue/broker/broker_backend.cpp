#include "queue/broker/broker_backend.h"

#include <memory>

#include "queue/broker/broker_address.h"
#include "queue/broker/broker_connection.h"
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
  bool Create(const std::string& pathName, StoreAccess /*access*/) const override {
    const BrokerQueueName name = ParseBrokerQueuePath(pathName);
    BrokerConnection connection(name.broker);
    return connection.Declare(name.queue);
  }

  void Delete(const std::string& pathName) const override {
    const BrokerQueueName name = ParseBrokerQueuePath(pathName);
    BrokerConnection connection(name.broker);
    connection.Delete(name.queue);
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
