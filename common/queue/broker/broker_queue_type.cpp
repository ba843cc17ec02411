// The two kinds of queue on a broker. A classic queue lives on one node and
// keeps priorities; a quorum queue is replicated on the nodes of a cluster
// (Raft), and the broker confirms a message only once most of them have it.
//
// A queue's type cannot be read through AMQP. It is learned by declaring the
// queue once more as a quorum queue on a channel of its own: a quorum queue
// answers declare-ok, a classic one refuses the differing arguments (406,
// which closes only that channel).

#include <array>

#include "queue/broker/broker_connection.h"

namespace quillpost::queue {
namespace {

constexpr std::int32_t kMaxPriority = 7;
constexpr std::uint16_t kPreconditionFailed = 406;

amqp_table_entry_t QuorumType() {
  amqp_table_entry_t type{};
  type.key = amqp_cstring_bytes("x-queue-type");
  type.value.kind = AMQP_FIELD_KIND_UTF8;
  type.value.value.bytes = amqp_cstring_bytes("quorum");
  return type;
}

}  // namespace

bool BrokerConnection::Declare(const std::string& queue, QueueType type) {
  if (Inspect(queue)) {
    return false;
  }
  // No delivery limit on a quorum queue: a broker would drop a message given
  // back that often, and the relay gives messages back by design.
  amqp_table_entry_t argument = QuorumType();
  if (type == QueueType::Classic) {
    argument.key = amqp_cstring_bytes("x-max-priority");
    argument.value.kind = AMQP_FIELD_KIND_I32;
    argument.value.value.i32 = kMaxPriority;
  }
  const amqp_table_t arguments{1, &argument};
  amqp_queue_declare(conn_, channel_, amqp_cstring_bytes(queue.c_str()), 0, 1, 0, 0, arguments);
  Check(amqp_get_rpc_reply(conn_), "creating queue '" + queue + "'");
  types_[queue] = type;
  return true;
}

bool BrokerConnection::IsQuorum(const std::string& queue) {
  if (const auto known = types_.find(queue); known != types_.end()) {
    return known->second == QueueType::Quorum;
  }
  const std::string what = "asking the type of queue '" + queue + "'";
  if (broken_) {
    Fail(what, "the connection is broken");
  }
  // A channel number the main channel has not reached yet: it only counts up.
  const amqp_channel_t probe = channel_ + 1;
  amqp_channel_open(conn_, probe);
  const amqp_rpc_reply_t opened = amqp_get_rpc_reply(conn_);
  if (opened.reply_type != AMQP_RESPONSE_NORMAL) {
    broken_ = true;
    Fail(what, "cannot open a channel");
  }
  amqp_table_entry_t type = QuorumType();
  amqp_queue_declare(conn_, probe, amqp_cstring_bytes(queue.c_str()), 0, 1, 0, 0,
                     amqp_table_t{1, &type});
  const amqp_rpc_reply_t reply = amqp_get_rpc_reply(conn_);
  readSincePump_ = true;
  if (reply.reply_type == AMQP_RESPONSE_NORMAL) {
    const amqp_rpc_reply_t closed = amqp_channel_close(conn_, probe, AMQP_REPLY_SUCCESS);
    if (closed.reply_type != AMQP_RESPONSE_NORMAL) {
      broken_ = true;
      Fail(what, "cannot close a channel");
    }
    types_[queue] = QueueType::Quorum;
    return true;
  }
  if (reply.reply_type == AMQP_RESPONSE_SERVER_EXCEPTION &&
      reply.reply.id == AMQP_CHANNEL_CLOSE_METHOD) {
    const auto* close = static_cast<const amqp_channel_close_t*>(reply.reply.decoded);
    const std::uint16_t code = close->reply_code;
    amqp_channel_close_ok_t ok{};
    CheckStatus(amqp_send_method(conn_, probe, AMQP_CHANNEL_CLOSE_OK_METHOD, &ok), what);
    if (code == kPreconditionFailed) {
      types_[queue] = QueueType::Classic;
      return false;
    }
    Fail(what, "the broker refused the question (" + std::to_string(code) + ")");
  }
  Check(reply, what);  // the connection failed: throws
  return false;
}

}  // namespace quillpost::queue
