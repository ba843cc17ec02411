// Messages not due yet on a broker: they wait in a queue of their own whose
// messages expire after the wait and are then dead-lettered into the queue
// they are for. Queue and messages are durable, so the wait survives a
// restart of the broker; an unused wait queue removes itself.

#include <array>
#include <chrono>

#include "queue/broker/broker_connection.h"

namespace quillpost::queue {

std::string BrokerConnection::RouteFor(const std::string& queue, const Message& message) {
  using std::chrono::milliseconds;
  const auto wait =
      std::chrono::ceil<milliseconds>(message.notBefore - std::chrono::system_clock::now());
  if (wait.count() <= 0) {
    return queue;
  }
  // The message would expire into nowhere: say so now, as a direct send would.
  if (!Inspect(queue)) {
    throw NoSuchQueue("there is no queue '" + queue + "' on broker " + address_.Display());
  }
  // One wait queue per wait, so that no long wait holds up a shorter one
  // behind it (a broker expires messages at the head of a queue only).
  const std::string waitQueue = queue + ".wait-" + std::to_string(wait.count());
  const std::string target = queue;
  std::array<amqp_table_entry_t, 4> arguments{};
  arguments[0].key = amqp_cstring_bytes("x-message-ttl");
  arguments[0].value.kind = AMQP_FIELD_KIND_I64;
  arguments[0].value.value.i64 = wait.count();
  arguments[1].key = amqp_cstring_bytes("x-dead-letter-exchange");
  arguments[1].value.kind = AMQP_FIELD_KIND_UTF8;
  arguments[1].value.value.bytes = amqp_cstring_bytes("");
  arguments[2].key = amqp_cstring_bytes("x-dead-letter-routing-key");
  arguments[2].value.kind = AMQP_FIELD_KIND_UTF8;
  arguments[2].value.value.bytes = amqp_cstring_bytes(target.c_str());
  // Removed once unused for a minute longer than its messages wait.
  arguments[3].key = amqp_cstring_bytes("x-expires");
  arguments[3].value.kind = AMQP_FIELD_KIND_I64;
  arguments[3].value.value.i64 = wait.count() + 60'000;
  amqp_queue_declare(conn_, channel_, amqp_cstring_bytes(waitQueue.c_str()), 0, 1, 0, 0,
                     amqp_table_t{static_cast<int>(arguments.size()), arguments.data()});
  Check(amqp_get_rpc_reply(conn_), "creating the wait queue '" + waitQueue + "'");
  return waitQueue;
}

}  // namespace quillpost::queue
