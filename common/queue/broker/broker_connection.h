#pragma once

// One AMQP connection to a broker with one channel in publisher-confirm mode
// and a prefetch of one message per consumer. Wraps the C client: every
// failure becomes a QueueError whose text names the broker without its
// credentials; a refused queue (404) is NoSuchQueue.
//
// Deliveries pushed by the broker to a consumer are collected in Deliveries()
// whenever frames are read, whichever operation reads them.

#include <amqp.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "queue/broker/broker_address.h"
#include "queue/queue.h"
#include "queue/queue_info.h"

namespace quillpost::queue {

struct Delivery {
  std::uint64_t tag = 0;
  Message message;
  // The message's id (its message_id property), which every move keeps;
  // empty for messages sent before ids.
  std::string id;
};

// Why a send that the broker refused (basic.nack) failed.
inline constexpr const char* kRefusedText =
    "the broker refused to store the message (a quorum queue refuses while it elects a new "
    "leader: try again)";

struct BrokerQueueCounts {
  std::size_t ready = 0;
  std::size_t consumers = 0;
};

class BrokerConnection {
 public:
  static constexpr std::size_t kAnyNode = static_cast<std::size_t>(-1);
  // Connects to one of the address's nodes, logs in and opens the channel:
  // tries firstNode (a random one for kAnyNode), then the next ones in turn
  // until one answers. Throws QueueError naming every node's failure.
  explicit BrokerConnection(const BrokerAddress& address, std::size_t firstNode = kAnyNode);
  ~BrokerConnection();
  BrokerConnection(const BrokerConnection&) = delete;
  BrokerConnection& operator=(const BrokerConnection&) = delete;

  const BrokerAddress& Address() const { return address_; }
  // The node connected to (its index in Address().nodes).
  std::size_t Node() const { return node_; }
  int Socket() const;
  // The connection failed; every further operation throws.
  bool Broken() const { return broken_; }
  // Drops the connection without a word to the broker (a forked child's copy
  // of its parent's connection).
  void Abandon() { broken_ = true; }
  // Changes whenever the channel is replaced (after the broker closed it);
  // delivery tags of an older channel mean nothing any more.
  std::uint64_t ChannelEpoch() const { return epoch_; }

  // nullopt when the queue does not exist.
  std::optional<BrokerQueueCounts> Inspect(const std::string& queue);
  // Declares a durable queue of the given type (broker_queue_type.cpp): a
  // classic one with priorities 0 to 7, or a quorum queue; false when it
  // existed.
  bool Declare(const std::string& queue, QueueType type);
  // Whether the queue, which must exist, is a quorum queue; asked of the
  // broker once per connection and queue.
  bool IsQuorum(const std::string& queue);
  void Delete(const std::string& queue);
  std::size_t Purge(const std::string& queue);

  // Stores message on queue and waits for the broker's confirm. NoSuchQueue
  // when the queue is missing (nothing stored). id: the id of a message that
  // moves on; empty gives a new message a new one.
  void Publish(const std::string& queue, const Message& message, const std::string& id = {});
  // Where a message for queue is published (broker_delay.cpp): the queue
  // itself, or, for a message not due yet, a wait queue whose messages
  // expire into queue when they come due. Throws NoSuchQueue when queue is missing.
  std::string RouteFor(const std::string& queue, const Message& message);

  // Publishing with several messages in flight (broker_sender.h): sends
  // message on its way, unconfirmed, and returns its number on the channel.
  // Frames read by any operation settle it; TakeOutcome tells how, once.
  enum class Outcome { Pending, Stored, NoQueue, Refused, Lost };
  std::uint64_t PublishUnconfirmed(const std::string& queue, const Message& message);
  // Lost: the channel it was published on was closed before it was settled.
  Outcome TakeOutcome(std::uint64_t sequence);

  // Takes the first waiting message, unacknowledged.
  std::optional<Delivery> Get(const std::string& queue);
  // Both return once the broker has the acknowledgement (or rejection), so a
  // connection that breaks before cannot pass for success.
  void Ack(std::uint64_t tag);
  // Gives the message back to its queue.
  void Requeue(std::uint64_t tag);

  // Starts a consumer (manual acknowledgement); returns its tag.
  std::string Consume(const std::string& queue);
  void Cancel(const std::string& consumerTag);
  // True once the broker cancelled a consumer itself (its queue was deleted).
  bool ConsumerCancelledByBroker() const { return cancelledByBroker_; }
  void ClearCancelledByBroker() { cancelledByBroker_ = false; }

  // Reads the frames that arrive within wait (zero: only those already
  // there), stopping early once a delivery is collected.
  void Pump(std::chrono::milliseconds wait);
  std::deque<Delivery>& Deliveries() { return deliveries_; }
  // Frames or bytes read from the socket but not handled yet: the socket
  // will not show them as readable. Over TLS, records can wait inside the
  // TLS layer after any read, so a read since the last Pump(0) counts too.
  bool HasBufferedInput() const;

 private:
  // Connects to node_; on failure nothing is left open.
  void Connect();
  void Open();
  void OpenChannel();
  // Handles the reply of a synchronous call; throws on failure.
  void Check(amqp_rpc_reply_t reply, const std::string& what);
  void CheckStatus(int status, const std::string& what);
  void AwaitEarlierMethods(const std::string& what);
  [[noreturn]] void Fail(const std::string& what, const std::string& why);
  // Reads one frame within timeout (nullptr: no limit); false on time-out.
  bool ReadFrame(const timeval* timeout);
  void HandleFrame(const amqp_frame_t& frame);
  // Sets *id to the message's id when id is given.
  Message ReadContent(const std::string& what, std::string* id = nullptr);
  // Publishes without waiting; returns the message's number on the channel.
  // The message keeps id when one is given, else gets a new one.
  std::uint64_t StartPublish(const std::string& queue, const Message& message,
                             const std::string& id = {});
  // Records a confirm (or refusal) of tag, and of every earlier one when
  // multiple, for the messages published by PublishUnconfirmed.
  void Settle(std::uint64_t tag, bool multiple, Outcome outcome);

  BrokerAddress address_;
  std::size_t node_ = 0;
  amqp_connection_state_t conn_ = nullptr;
  amqp_channel_t channel_ = 0;
  std::uint64_t epoch_ = 0;
  bool broken_ = false;
  bool cancelledByBroker_ = false;
  bool readSincePump_ = false;

  std::uint64_t nextPublish_ = 1;
  std::uint64_t confirmedUpTo_ = 0;
  std::uint64_t refusedTag_ = 0;
  bool returned_ = false;
  // PublishUnconfirmed's messages not settled yet, by number, with their
  // ids; the outcomes not yet taken; the ids of those among them that came
  // back as returns. A return comes before the confirm of its message, but
  // that confirm may be a multiple one that settles later messages too, so
  // a return is matched to its message by id, never by position.
  std::map<std::uint64_t, std::string> inFlight_;
  std::map<std::uint64_t, Outcome> outcomes_;
  std::set<std::string> returnedIds_;
  std::deque<Delivery> deliveries_;
  // The types of the queues this connection has declared or asked about.
  std::map<std::string, QueueType> types_;
};

}  // namespace quillpost::queue
