#include "queue/admin/broker_admin.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "queue/admin/broker_management.h"
#include "queue/broker/broker_address.h"
#include "queue/broker/broker_connection.h"

namespace quillpost::queue {
namespace {

using broker::ManagedQueues;

std::string NoQueueText(const BrokerQueueName& name) {
  return "there is no queue '" + name.queue + "' on broker " + name.broker.Display();
}

void RequireQueue(BrokerConnection& connection, const BrokerQueueName& name) {
  if (!connection.Inspect(name.queue)) {
    throw NoSuchQueue(NoQueueText(name));
  }
}

class BrokerAdminImpl final : public AdminBackend {
 public:
  std::vector<QueueInfo> List(const std::string& storeName) const override {
    const BrokerAddress address = ParseBrokerStoreName(storeName);
    std::vector<QueueInfo> queues = ManagedQueues(address);
    BrokerConnection connection(address);
    std::vector<QueueInfo> present;
    for (QueueInfo& queue : queues) {
      // The broker's own count is exact; the management interface lags.
      if (const auto counts = connection.Inspect(queue.name)) {
        queue.waiting = counts->ready;
        present.push_back(std::move(queue));
      }
    }
    std::sort(present.begin(), present.end(),
              [](const QueueInfo& a, const QueueInfo& b) { return a.name < b.name; });
    return present;
  }

  std::vector<PeekedMessage> Peek(const std::string& pathName, bool withBodies,
                                  std::size_t limit) const override {
    const BrokerQueueName name = ParseBrokerQueuePath(pathName);
    std::vector<PeekedMessage> peeked;
    {
      // Taken unacknowledged and given back when the connection closes, in
      // their order: nothing is consumed.
      BrokerConnection connection(name.broker);
      RequireQueue(connection, name);
      while (peeked.size() < limit) {
        std::optional<Delivery> delivery = connection.Get(name.queue);
        if (!delivery) {
          break;
        }
        PeekedMessage message;
        message.label = std::move(delivery->message.label);
        message.priority = delivery->message.priority;
        message.notBefore = delivery->message.notBefore;
        message.lastFailure = std::move(delivery->message.lastFailure);
        message.size = delivery->message.body.size();
        if (withBodies) {
          message.body = std::move(delivery->message.body);
        }
        peeked.push_back(std::move(message));
      }
    }
    return peeked;
  }

  std::size_t Purge(const std::string& pathName, const Progress& /*progress*/) const override {
    const BrokerQueueName name = ParseBrokerQueuePath(pathName);
    BrokerConnection connection(name.broker);
    RequireQueue(connection, name);
    return connection.Purge(name.queue);
  }

  std::size_t Move(const std::string& fromPathName, const std::string& toPathName,
                   const Progress& progress) const override {
    const BrokerQueueName from = ParseBrokerQueuePath(fromPathName);
    const BrokerQueueName to = ParseBrokerQueuePath(toPathName);
    if (!from.broker.SameBroker(to.broker)) {
      throw QueueError("cannot move messages from '" + from.Display() + "' to '" + to.Display() +
                       "': both queues must be on the same broker");
    }
    if (from.queue == to.queue) {
      throw QueueError("cannot move messages of '" + from.Display() + "' onto the same queue");
    }
    BrokerConnection connection(from.broker);
    const std::optional<BrokerQueueCounts> source = connection.Inspect(from.queue);
    if (!source) {
      throw NoSuchQueue(NoQueueText(from));
    }
    RequireQueue(connection, to);
    // Only what waits now: messages sent meanwhile stay where they are.
    std::size_t moved = 0;
    while (moved < source->ready) {
      std::optional<Delivery> delivery = connection.Get(from.queue);
      if (!delivery) {
        break;
      }
      // Stored on the target before it leaves the source: at least once.
      connection.Publish(to.queue, delivery->message);
      connection.Ack(delivery->tag);
      ++moved;
      if (progress) {
        progress(moved, source->ready);
      }
    }
    return moved;
  }

  std::string Describe(const std::string& storeName) const override {
    return ParseBrokerStoreName(storeName).Display();
  }

  std::optional<LocatedMessage> Find(const std::string& storeName,
                                     const std::string& /*id*/) const override {
    throw NoIds(storeName);
  }
  void Remove(const std::string& storeName, const std::string& /*id*/) const override {
    throw NoIds(storeName);
  }
  void MoveOne(const std::string& storeName, const std::string& /*id*/,
               const std::string& /*toQueue*/, const MoveChange& /*change*/) const override {
    throw NoIds(storeName);
  }

 private:
  static QueueError NoIds(const std::string& storeName) {
    return QueueError("the messages of broker " + ParseBrokerStoreName(storeName).Display() +
                      " have no ids: work on whole queues there (peek, move, purge)");
  }
};

}  // namespace

const AdminBackend& BrokerAdmin() {
  static const BrokerAdminImpl admin;
  return admin;
}

}  // namespace quillpost::queue
