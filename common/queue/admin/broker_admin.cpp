#include "queue/admin/broker_admin.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "queue/admin/broker_management.h"
#include "queue/admin/queue_admin.h"
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

// A quorum queue that messages were taken from to be looked at, and how
// many waited on it when they were given back.
struct LookedAt {
  std::string queue;
  std::size_t waiting = 0;
};

// Messages taken unacknowledged go back as the connection that took them
// closes. A classic queue counts them again at once; a quorum queue only once
// its leader has taken that in, a moment later. Waits (a little) for it, so
// that whatever looks at the queue next sees every message that waits there.
void AwaitGivenBack(const BrokerAddress& address, const std::vector<LookedAt>& lookedAt) {
  using namespace std::chrono_literals;
  if (lookedAt.empty()) {
    return;
  }
  BrokerConnection connection(address);
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  for (const LookedAt& looked : lookedAt) {
    while (std::chrono::steady_clock::now() < deadline) {
      const std::optional<BrokerQueueCounts> counts = connection.Inspect(looked.queue);
      if (!counts || counts->ready >= looked.waiting) {
        break;
      }
      std::this_thread::sleep_for(10ms);
    }
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
    std::vector<LookedAt> lookedAt;
    {
      // Taken unacknowledged and given back when the connection closes, in
      // their order: nothing is consumed.
      BrokerConnection connection(name.broker);
      const std::optional<BrokerQueueCounts> counts = connection.Inspect(name.queue);
      if (!counts) {
        throw NoSuchQueue(NoQueueText(name));
      }
      if (connection.IsQuorum(name.queue)) {
        lookedAt.push_back({name.queue, counts->ready});
      }
      while (peeked.size() < limit) {
        std::optional<Delivery> delivery = connection.Get(name.queue);
        if (!delivery) {
          break;
        }
        PeekedMessage message;
        message.id = std::move(delivery->id);
        message.name = std::move(delivery->message.name);
        message.arrived = delivery->message.arrived;
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
    if (!peeked.empty()) {
      AwaitGivenBack(name.broker, lookedAt);
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
      connection.Publish(to.queue, delivery->message, delivery->id);
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
                                     const std::string& id) const override {
    std::optional<LocatedMessage> found;
    WithMessage(storeName, id,
                [&](BrokerConnection&, const std::string& queue, Delivery& delivery) {
                  found.emplace();
                  found->queue = queue;
                  PeekedMessage& message = found->message;
                  message.id = id;
                  message.name = delivery.message.name;
                  message.arrived = delivery.message.arrived;
                  message.label = delivery.message.label;
                  message.priority = delivery.message.priority;
                  message.notBefore = delivery.message.notBefore;
                  message.lastFailure = delivery.message.lastFailure;
                  message.size = delivery.message.body.size();
                  message.body = std::move(delivery.message.body);
                });
    return found;
  }

  void Remove(const std::string& storeName, const std::string& id) const override {
    const bool removed =
        WithMessage(storeName, id,
                    [](BrokerConnection& connection, const std::string& /*queue*/,
                       const Delivery& delivery) { connection.Ack(delivery.tag); });
    if (!removed) {
      throw NoSuchMessage(NoMessageText(id));
    }
  }

  void MoveOne(const std::string& storeName, const std::string& id, const std::string& toQueue,
               const MoveChange& change) const override {
    const bool moved = WithMessage(
        storeName, id,
        [&](BrokerConnection& connection, const std::string& /*queue*/, Delivery& delivery) {
          if (!connection.Inspect(toQueue)) {
            throw NoSuchQueue("there is no queue '" + toQueue + "' on broker " +
                              connection.Address().Display());
          }
          Message& message = delivery.message;
          if (change.label) {
            message.label = *change.label;
          }
          if (change.dueNow) {
            message.notBefore = {};
          }
          // Stored on the target first, as every move on a broker.
          connection.Publish(toQueue, message, id);
          connection.Ack(delivery.tag);
        });
    if (!moved) {
      throw NoSuchMessage(NoMessageText(id));
    }
  }

 private:
  static std::string NoMessageText(const std::string& id) {
    return "there is no message " + id + " waiting on the broker (a relay may hold it right now)";
  }

  // Looks through every queue of the store's virtual host for the waiting
  // message with that id and lets act work on it. The messages looked at are
  // taken unacknowledged and given back, in their order, when the connection
  // closes. False when no waiting message has the id.
  template <typename Act>
  static bool WithMessage(const std::string& storeName, const std::string& id, Act act) {
    if (id.empty()) {
      return false;
    }
    const BrokerAddress address = ParseBrokerStoreName(storeName);
    const std::vector<QueueInfo> queues = ManagedQueues(address);
    std::vector<LookedAt> lookedAt;
    bool found = false;
    {
      BrokerConnection connection(address);
      for (const QueueInfo& queue : queues) {
        const std::optional<BrokerQueueCounts> counts = connection.Inspect(queue.name);
        if (!counts) {
          continue;
        }
        bool taken = false;
        while (std::optional<Delivery> delivery = connection.Get(queue.name)) {
          taken = true;
          if (delivery->id == id) {
            act(connection, queue.name, *delivery);
            found = true;
            break;
          }
        }
        if (taken && connection.IsQuorum(queue.name)) {
          // The one acted on no longer waits there.
          lookedAt.push_back(
              {queue.name, counts->ready - std::min<std::size_t>(counts->ready, found ? 1 : 0)});
        }
        if (found) {
          break;
        }
      }
    }
    AwaitGivenBack(address, lookedAt);
    return found;
  }
};

}  // namespace

const AdminBackend& BrokerAdmin() {
  static const BrokerAdminImpl admin;
  return admin;
}

}  // namespace quillpost::queue
