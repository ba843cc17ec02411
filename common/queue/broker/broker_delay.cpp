// Messages not due yet on a broker: they wait in a queue of their own whose
// messages expire after the wait and are then dead-lettered into the queue
// they are for. Queue and messages are durable, so the wait survives a
// restart of the broker; an unused wait queue removes itself.
//
// The wait queue of a quorum queue is a quorum queue too, so that a waiting
// message is replicated as the queue it is for. It dead-letters at least
// once: the broker keeps an expired message on the wait queue until the
// target has confirmed it, and tries again while the target cannot take it
// (its leader is being elected, say). The broker's default, at most once,
// sends an expired message off without a confirm and forgets it, so a
// retry that expires while the target elects a leader would be lost. At
// least once needs the overflow setting reject-publish; a wait queue has no
// length limit, so nothing is ever refused for it. A message may then reach
// its queue twice, which the relay's at-least-once moves allow already.

#include <array>
#include <chrono>

#include "queue/broker/broker_connection.h"

namespace quillpost::queue {
namespace {

using std::chrono::milliseconds;

// Every wait gets a queue (a broker expires messages at the head of a queue
// only, so a long wait must not hold up a shorter one behind it). A quorum
// queue costs a replicated log on every node, so its waits are rounded up
// to a few steps: a retry may come up to one step late.
milliseconds QuorumWait(milliseconds wait) {
  using namespace std::chrono_literals;
  const milliseconds step = wait <= 1min ? milliseconds(1s) : wait <= 10min ? 10s : 1min;
  return (wait + step - 1ms) / step * step;
}

// How long an unused wait queue stays after its last message is due: a
// quorum queue holds its expired messages until the target confirms them,
// so it must not go while a target elects a leader or a node restarts.
constexpr milliseconds kClassicLinger{60'000};
constexpr milliseconds kQuorumLinger{15 * 60'000};

amqp_table_entry_t Entry(const char* key, std::int64_t value) {
  amqp_table_entry_t entry{};
  entry.key = amqp_cstring_bytes(key);
  entry.value.kind = AMQP_FIELD_KIND_I64;
  entry.value.value.i64 = value;
  return entry;
}

amqp_table_entry_t Entry(const char* key, const std::string& value) {
  amqp_table_entry_t entry{};
  entry.key = amqp_cstring_bytes(key);
  entry.value.kind = AMQP_FIELD_KIND_UTF8;
  entry.value.value.bytes = amqp_cstring_bytes(value.c_str());
  return entry;
}

}  // namespace

std::string BrokerConnection::RouteFor(const std::string& queue, const Message& message) {
  milliseconds wait =
      std::chrono::ceil<milliseconds>(message.notBefore - std::chrono::system_clock::now());
  if (wait.count() <= 0) {
    return queue;
  }
  // The message would expire into nowhere: say so now, as a direct send would.
  if (!Inspect(queue)) {
    throw NoSuchQueue("there is no queue '" + queue + "' on broker " + address_.DisplayNode(node_));
  }
  const bool quorum = IsQuorum(queue);
  if (quorum) {
    wait = QuorumWait(wait);
  }
  const std::string waitQueue = queue + ".wait-" + std::to_string(wait.count());
  static const std::string kDefaultExchange;
  static const std::string kQuorum = "quorum";
  static const std::string kAtLeastOnce = "at-least-once";
  static const std::string kRejectPublish = "reject-publish";
  std::array<amqp_table_entry_t, 7> arguments{
      Entry("x-message-ttl", wait.count()),
      Entry("x-dead-letter-exchange", kDefaultExchange),
      Entry("x-dead-letter-routing-key", queue),
      Entry("x-expires", (wait + (quorum ? kQuorumLinger : kClassicLinger)).count()),
      Entry("x-queue-type", kQuorum),
      Entry("x-dead-letter-strategy", kAtLeastOnce),
      Entry("x-overflow", kRejectPublish)};
  const int count = quorum ? 7 : 4;
  amqp_queue_declare(conn_, channel_, amqp_cstring_bytes(waitQueue.c_str()), 0, 1, 0, 0,
                     amqp_table_t{count, arguments.data()});
  Check(amqp_get_rpc_reply(conn_), "creating the wait queue '" + waitQueue + "'");
  return waitQueue;
}

}  // namespace quillpost::queue
