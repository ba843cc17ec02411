#include "queue/broker/broker_connection.h"

#include <amqp_ssl_socket.h>
#include <amqp_tcp_socket.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <utility>

#include "posix/system_error.h"
#include "queue/message_name.h"

namespace quillpost::queue {
namespace {

constexpr timeval kConnectTimeout{10, 0};
constexpr timeval kRpcTimeout{30, 0};
constexpr std::chrono::seconds kConfirmTimeout{30};
constexpr int kFrameMax = 131072;
constexpr std::uint16_t kNotFound = 404;
// Labels longer than a short string (the type property) travel in this header.
constexpr const char* kLongLabelHeader = "x-quillpost-label";
constexpr const char* kLastFailureHeader = "x-quillpost-last-failure";
constexpr const char* kNotBeforeHeader = "x-quillpost-not-before";
constexpr std::size_t kShortStringMax = 255;

// 96 random bits in hex: an id no other message of any broker will have.
// Read from the kernel, so that forked processes never share a sequence.
std::string NewMessageId() {
  std::array<unsigned char, 12> bits{};
  std::size_t filled = 0;
  while (filled < bits.size()) {
    const ssize_t got = ::getrandom(bits.data() + filled, bits.size() - filled, 0);
    if (got < 0 && errno != EINTR) {
      posix::ThrowSystem<QueueError>("cannot make a message id");
    }
    filled += got > 0 ? static_cast<std::size_t>(got) : 0;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (const unsigned char bit : bits) {
    text += kHex[bit >> 4];
    text += kHex[bit & 0xF];
  }
  return text;
}
constexpr const char* kSystemCaBundle = "/etc/ssl/certs/ca-certificates.crt";

std::atomic<std::uint64_t> channelEpochs{0};

std::size_t RandomNode(std::size_t count) {
  std::random_device random;
  return std::uniform_int_distribution<std::size_t>(0, count - 1)(random);
}

std::string Text(amqp_bytes_t bytes) {
  return bytes.len == 0 ? std::string()
                        : std::string(static_cast<const char*>(bytes.bytes), bytes.len);
}

amqp_bytes_t Bytes(const std::string& text) {
  return amqp_bytes_t{text.size(), const_cast<char*>(text.data())};
}

timeval ToTimeval(std::chrono::milliseconds duration) {
  const auto ms = std::max<std::int64_t>(0, duration.count());
  return timeval{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
}

void KeepAlive(int fd) {
  const int on = 1;
  const int idle = 30;
  const int interval = 10;
  const int count = 3;
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

}  // namespace

BrokerConnection::BrokerConnection(const BrokerAddress& address, std::size_t firstNode)
    : address_(address) {
  const std::size_t count = address_.nodes.size();
  if (count == 0) {
    throw QueueError("broker " + address_.Display() + ": names no node");
  }
  // Each client starts at a node of its own, so that their connections
  // spread over the cluster; a node that cannot be reached or refuses
  // passes the turn to the next.
  const std::size_t first = firstNode == kAnyNode ? RandomNode(count) : firstNode % count;
  std::string failures;
  for (std::size_t tried = 0; tried < count; ++tried) {
    node_ = (first + tried) % count;
    try {
      Connect();
      return;
    } catch (const QueueError& error) {
      if (count == 1) {
        throw;
      }
      failures += (failures.empty() ? "" : "; ") + std::string(error.what());
    }
  }
  throw QueueError("broker " + address_.Display() + ": no node could be reached (" + failures +
                   ")");
}

void BrokerConnection::Connect() {
  broken_ = false;
  channel_ = 0;
  conn_ = amqp_new_connection();
  if (conn_ == nullptr) {
    throw QueueError("broker " + address_.Display() +
                     ": cannot set up a connection (out of memory)");
  }
  try {
    Open();
  } catch (...) {
    amqp_destroy_connection(conn_);
    conn_ = nullptr;
    throw;
  }
}

void BrokerConnection::Open() {
  const BrokerNode& node = address_.nodes[node_];
  amqp_socket_t* socket = address_.tls ? amqp_ssl_socket_new(conn_) : amqp_tcp_socket_new(conn_);
  if (socket == nullptr) {
    broken_ = true;
    Fail("connecting", "cannot create a socket");
  }
  if (address_.tls) {
    // The C client trusts nobody by itself: without a CA file of the user's,
    // the system's bundle is the one.
    const char* ca = std::getenv("QUILLPOST_AMQP_CA_FILE");
    const std::string caFile = ca != nullptr && *ca != '\0' ? ca : kSystemCaBundle;
    CheckStatus(amqp_ssl_socket_set_cacert(socket, caFile.c_str()),
                "reading the CA certificates " + caFile);
  }
  CheckStatus(amqp_socket_open_noblock(socket, node.host.c_str(), node.port, &kConnectTimeout),
              "connecting");
  KeepAlive(amqp_get_sockfd(conn_));
  amqp_set_handshake_timeout(conn_, &kConnectTimeout);
  amqp_set_rpc_timeout(conn_, &kRpcTimeout);
  // The broker shows each connection by this name (its management
  // interface, rabbitmqctl list_connections): which program, which process.
  const std::string name =
      std::string(program_invocation_short_name) + "[" + std::to_string(::getpid()) + "]";
  amqp_table_entry_t connectionName{};
  connectionName.key = amqp_cstring_bytes("connection_name");
  connectionName.value.kind = AMQP_FIELD_KIND_UTF8;
  connectionName.value.value.bytes = Bytes(name);
  const amqp_table_t properties{1, &connectionName};
  Check(amqp_login_with_properties(conn_, address_.vhost.c_str(), 0, kFrameMax, 0, &properties,
                                   AMQP_SASL_METHOD_PLAIN, address_.user.c_str(),
                                   address_.password.c_str()),
        "logging in");
  OpenChannel();
}

BrokerConnection::~BrokerConnection() {
  if (!broken_) {
    amqp_connection_close(conn_, AMQP_REPLY_SUCCESS);
  }
  amqp_destroy_connection(conn_);
}

int BrokerConnection::Socket() const {
  return amqp_get_sockfd(conn_);
}

void BrokerConnection::OpenChannel() {
  ++channel_;
  deliveries_.clear();
  amqp_channel_open(conn_, channel_);
  Check(amqp_get_rpc_reply(conn_), "opening a channel");
  amqp_confirm_select(conn_, channel_);
  Check(amqp_get_rpc_reply(conn_), "asking for publisher confirms");
  amqp_basic_qos(conn_, channel_, 0, 1, 0);
  Check(amqp_get_rpc_reply(conn_), "setting the prefetch");
  epoch_ = ++channelEpochs;
  nextPublish_ = 1;
  confirmedUpTo_ = 0;
  refusedTag_ = 0;
  // Messages in flight on the old channel are neither confirmed nor refused:
  // TakeOutcome reports them lost.
  inFlight_.clear();
  outcomes_.clear();
  returnedIds_.clear();
}

void BrokerConnection::Fail(const std::string& what, const std::string& why) {
  throw QueueError("broker " + address_.DisplayNode(node_) + ": " + what + ": " + why);
}

void BrokerConnection::CheckStatus(int status, const std::string& what) {
  if (status != AMQP_STATUS_OK) {
    broken_ = true;
    Fail(what, amqp_error_string2(status));
  }
}

void BrokerConnection::Check(amqp_rpc_reply_t reply, const std::string& what) {
  readSincePump_ = true;
  switch (reply.reply_type) {
    case AMQP_RESPONSE_NORMAL:
      return;
    case AMQP_RESPONSE_NONE:
      broken_ = true;
      Fail(what, "the broker sent no reply");
    case AMQP_RESPONSE_LIBRARY_EXCEPTION:
      broken_ = true;
      Fail(what, amqp_error_string2(reply.library_error));
    case AMQP_RESPONSE_SERVER_EXCEPTION:
      break;
  }
  if (reply.reply.id == AMQP_CONNECTION_CLOSE_METHOD) {
    const auto* close = static_cast<const amqp_connection_close_t*>(reply.reply.decoded);
    const std::string text = Text(close->reply_text);
    amqp_connection_close_ok_t ok{};
    amqp_send_method(conn_, 0, AMQP_CONNECTION_CLOSE_OK_METHOD, &ok);
    broken_ = true;
    Fail(what, "the broker closed the connection: " + text);
  }
  if (reply.reply.id == AMQP_CHANNEL_CLOSE_METHOD) {
    const auto* close = static_cast<const amqp_channel_close_t*>(reply.reply.decoded);
    const std::uint16_t code = close->reply_code;
    const std::string text = Text(close->reply_text);
    amqp_channel_close_ok_t ok{};
    CheckStatus(amqp_send_method(conn_, channel_, AMQP_CHANNEL_CLOSE_OK_METHOD, &ok), what);
    OpenChannel();
    if (code == kNotFound) {
      throw NoSuchQueue("broker " + address_.DisplayNode(node_) + ": " + what + ": " + text);
    }
    Fail(what, text);
  }
  broken_ = true;
  Fail(what, "unexpected answer from the broker");
}

bool BrokerConnection::HasBufferedInput() const {
  return !broken_ && (amqp_frames_enqueued(conn_) != 0 || amqp_data_in_buffer(conn_) != 0 ||
                      (address_.tls && readSincePump_));
}

Message BrokerConnection::ReadContent(const std::string& what, std::string* id) {
  amqp_message_t content{};
  const amqp_rpc_reply_t reply = amqp_read_message(conn_, channel_, &content, 0);
  if (reply.reply_type != AMQP_RESPONSE_NORMAL) {
    broken_ = true;
    Fail(what, reply.reply_type == AMQP_RESPONSE_LIBRARY_EXCEPTION
                   ? amqp_error_string2(reply.library_error)
                   : "malformed message content");
  }
  Message message;
  const amqp_basic_properties_t& properties = content.properties;
  if ((properties._flags & AMQP_BASIC_TYPE_FLAG) != 0) {
    message.label = Text(properties.type);
  }
  if ((properties._flags & AMQP_BASIC_HEADERS_FLAG) != 0) {
    for (int i = 0; i < properties.headers.num_entries; ++i) {
      const amqp_table_entry_t& entry = properties.headers.entries[i];
      if (Text(entry.key) == kLongLabelHeader && entry.value.kind == AMQP_FIELD_KIND_UTF8) {
        message.label = Text(entry.value.value.bytes);
      }
      if (Text(entry.key) == kLastFailureHeader && entry.value.kind == AMQP_FIELD_KIND_UTF8) {
        message.lastFailure = Text(entry.value.value.bytes);
      }
      if (Text(entry.key) == kNotBeforeHeader && entry.value.kind == AMQP_FIELD_KIND_I64) {
        message.notBefore =
            std::chrono::system_clock::time_point(std::chrono::milliseconds(entry.value.value.i64));
      }
    }
  }
  message.priority = (properties._flags & AMQP_BASIC_PRIORITY_FLAG) != 0 ? properties.priority : 0;
  if ((properties._flags & AMQP_BASIC_MESSAGE_ID_FLAG) != 0) {
    message.name = BrokerMessageName(Text(properties.message_id));
    if (id != nullptr) {
      *id = Text(properties.message_id);
    }
  }
  if ((properties._flags & AMQP_BASIC_TIMESTAMP_FLAG) != 0) {
    message.arrived = std::chrono::system_clock::time_point(
        std::chrono::seconds(static_cast<std::int64_t>(properties.timestamp)));
  }
  message.body = Text(content.body);
  amqp_destroy_message(&content);
  return message;
}

bool BrokerConnection::ReadFrame(const timeval* timeout) {
  if (broken_) {
    Fail("reading from the broker", "the connection is broken");
  }
  amqp_frame_t frame{};
  readSincePump_ = true;
  const int status = amqp_simple_wait_frame_noblock(conn_, &frame, timeout);
  if (status == AMQP_STATUS_TIMEOUT) {
    return false;
  }
  CheckStatus(status, "reading from the broker");
  HandleFrame(frame);
  return true;
}

void BrokerConnection::HandleFrame(const amqp_frame_t& frame) {
  if (frame.frame_type != AMQP_FRAME_METHOD) {
    return;
  }
  const amqp_method_t& method = frame.payload.method;
  if (frame.channel == 0) {
    if (method.id == AMQP_CONNECTION_CLOSE_METHOD) {
      amqp_rpc_reply_t reply{};
      reply.reply_type = AMQP_RESPONSE_SERVER_EXCEPTION;
      reply.reply = method;
      Check(reply, "reading from the broker");
    }
    return;
  }
  if (frame.channel != channel_) {
    return;
  }
  switch (method.id) {
    case AMQP_BASIC_DELIVER_METHOD: {
      const std::uint64_t tag =
          static_cast<const amqp_basic_deliver_t*>(method.decoded)->delivery_tag;
      Delivery delivery{tag, {}, {}};
      delivery.message = ReadContent("reading a delivered message", &delivery.id);
      deliveries_.push_back(std::move(delivery));
      break;
    }
    case AMQP_BASIC_ACK_METHOD: {
      const auto* ack = static_cast<const amqp_basic_ack_t*>(method.decoded);
      confirmedUpTo_ = std::max<std::uint64_t>(confirmedUpTo_, ack->delivery_tag);
      Settle(ack->delivery_tag, ack->multiple != 0, Outcome::Stored);
      break;
    }
    case AMQP_BASIC_NACK_METHOD: {
      const auto* nack = static_cast<const amqp_basic_nack_t*>(method.decoded);
      refusedTag_ = std::max<std::uint64_t>(refusedTag_, nack->delivery_tag);
      Settle(nack->delivery_tag, nack->multiple != 0, Outcome::Refused);
      break;
    }
    case AMQP_BASIC_RETURN_METHOD: {
      std::string id;
      ReadContent("reading a returned message", &id);
      returned_ = true;
      if (std::any_of(inFlight_.begin(), inFlight_.end(),
                      [&](const auto& entry) { return entry.second == id; })) {
        returnedIds_.insert(std::move(id));
      }
      break;
    }
    case AMQP_BASIC_CANCEL_METHOD:
      cancelledByBroker_ = true;
      break;
    case AMQP_CHANNEL_CLOSE_METHOD: {
      amqp_rpc_reply_t reply{};
      reply.reply_type = AMQP_RESPONSE_SERVER_EXCEPTION;
      reply.reply = method;
      Check(reply, "reading from the broker");
      break;
    }
    default:
      break;
  }
}

void BrokerConnection::Pump(std::chrono::milliseconds wait) {
  const std::size_t before = deliveries_.size();
  if (wait.count() <= 0) {
    const timeval now{0, 0};
    while (ReadFrame(&now)) {
    }
    // Read until the transport had nothing more, TLS layer included.
    readSincePump_ = false;
  } else {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (deliveries_.size() == before) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        break;
      }
      const timeval timeout = ToTimeval(left);
      ReadFrame(&timeout);
    }
  }
  amqp_maybe_release_buffers(conn_);
}

std::optional<BrokerQueueCounts> BrokerConnection::Inspect(const std::string& queue) {
  const amqp_queue_declare_ok_t* ok =
      amqp_queue_declare(conn_, channel_, Bytes(queue), 1, 0, 0, 0, amqp_empty_table);
  try {
    Check(amqp_get_rpc_reply(conn_), "looking up queue '" + queue + "'");
  } catch (const NoSuchQueue&) {
    return std::nullopt;
  }
  return BrokerQueueCounts{ok->message_count, ok->consumer_count};
}

void BrokerConnection::Delete(const std::string& queue) {
  if (!Inspect(queue)) {
    throw NoSuchQueue("there is no queue '" + queue + "' on broker " + address_.Display());
  }
  amqp_queue_delete(conn_, channel_, Bytes(queue), 0, 0);
  Check(amqp_get_rpc_reply(conn_), "deleting queue '" + queue + "'");
}

std::size_t BrokerConnection::Purge(const std::string& queue) {
  const amqp_queue_purge_ok_t* ok = amqp_queue_purge(conn_, channel_, Bytes(queue));
  Check(amqp_get_rpc_reply(conn_), "purging queue '" + queue + "'");
  return ok->message_count;
}

void BrokerConnection::Settle(std::uint64_t tag, bool multiple, Outcome outcome) {
  const auto last = inFlight_.upper_bound(tag);
  for (auto it = multiple ? inFlight_.begin() : inFlight_.find(tag);
       it != last && it != inFlight_.end();) {
    // A message that came back unrouted is confirmed all the same.
    const bool returned = returnedIds_.erase(it->second) != 0;
    outcomes_[it->first] = returned && outcome == Outcome::Stored ? Outcome::NoQueue : outcome;
    it = inFlight_.erase(it);
    if (!multiple) {
      return;
    }
  }
}

std::uint64_t BrokerConnection::PublishUnconfirmed(const std::string& queue,
                                                   const Message& message) {
  std::string id = NewMessageId();
  const std::uint64_t sequence = StartPublish(queue, message, id);
  inFlight_.emplace(sequence, std::move(id));
  return sequence;
}

BrokerConnection::Outcome BrokerConnection::TakeOutcome(std::uint64_t sequence) {
  if (inFlight_.count(sequence) != 0) {
    return Outcome::Pending;
  }
  const auto found = outcomes_.find(sequence);
  if (found == outcomes_.end()) {
    return Outcome::Lost;
  }
  const Outcome outcome = found->second;
  outcomes_.erase(found);
  return outcome;
}

void BrokerConnection::Publish(const std::string& queue, const Message& message,
                               const std::string& id) {
  returned_ = false;
  const std::uint64_t sequence = StartPublish(queue, message, id);
  const auto deadline = std::chrono::steady_clock::now() + kConfirmTimeout;
  while (confirmedUpTo_ < sequence && refusedTag_ < sequence) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      broken_ = true;
      Fail("sending to queue '" + queue + "'", "the broker did not confirm the message in time");
    }
    const timeval timeout = ToTimeval(left);
    ReadFrame(&timeout);
  }
  amqp_maybe_release_buffers(conn_);
  if (returned_) {
    returned_ = false;
    throw NoSuchQueue("there is no queue '" + queue + "' on broker " + address_.Display());
  }
  if (refusedTag_ >= sequence) {
    Fail("sending to queue '" + queue + "'", kRefusedText);
  }
}

std::uint64_t BrokerConnection::StartPublish(const std::string& queue, const Message& message,
                                             const std::string& id) {
  if (broken_) {
    Fail("sending to queue '" + queue + "'", "the connection is broken");
  }
  amqp_basic_properties_t properties{};
  properties._flags = AMQP_BASIC_DELIVERY_MODE_FLAG | AMQP_BASIC_PRIORITY_FLAG |
                      AMQP_BASIC_MESSAGE_ID_FLAG | AMQP_BASIC_TIMESTAMP_FLAG;
  const std::string messageId = id.empty() ? NewMessageId() : id;
  properties.message_id = Bytes(messageId);
  // When the message first came to the broker: kept by every move.
  const auto arrived = message.arrived.time_since_epoch().count() > 0
                           ? message.arrived
                           : std::chrono::system_clock::now();
  properties.timestamp = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::seconds>(arrived.time_since_epoch()).count());
  properties.delivery_mode = AMQP_DELIVERY_PERSISTENT;
  properties.priority = static_cast<std::uint8_t>(message.priority);
  std::array<amqp_table_entry_t, 3> headers{};
  int headerCount = 0;
  if (message.label.size() <= kShortStringMax) {
    properties._flags |= AMQP_BASIC_TYPE_FLAG;
    properties.type = Bytes(message.label);
  } else {
    amqp_table_entry_t& longLabel = headers[headerCount++];
    longLabel.key = amqp_cstring_bytes(kLongLabelHeader);
    longLabel.value.kind = AMQP_FIELD_KIND_UTF8;
    longLabel.value.value.bytes = Bytes(message.label);
  }
  if (!message.lastFailure.empty()) {
    amqp_table_entry_t& lastFailure = headers[headerCount++];
    lastFailure.key = amqp_cstring_bytes(kLastFailureHeader);
    lastFailure.value.kind = AMQP_FIELD_KIND_UTF8;
    lastFailure.value.value.bytes = Bytes(message.lastFailure);
  }
  if (message.notBefore.time_since_epoch().count() > 0) {
    amqp_table_entry_t& notBefore = headers[headerCount++];
    notBefore.key = amqp_cstring_bytes(kNotBeforeHeader);
    notBefore.value.kind = AMQP_FIELD_KIND_I64;
    notBefore.value.value.i64 =
        std::chrono::duration_cast<std::chrono::milliseconds>(message.notBefore.time_since_epoch())
            .count();
  }
  if (headerCount > 0) {
    properties._flags |= AMQP_BASIC_HEADERS_FLAG;
    properties.headers = amqp_table_t{headerCount, headers.data()};
  }
  const std::string route = RouteFor(queue, message);
  const std::uint64_t sequence = nextPublish_++;
  CheckStatus(amqp_basic_publish(conn_, channel_, amqp_empty_bytes, Bytes(route), 1, 0, &properties,
                                 Bytes(message.body)),
              "sending to queue '" + queue + "'");
  return sequence;
}

std::optional<Delivery> BrokerConnection::Get(const std::string& queue) {
  const amqp_rpc_reply_t reply = amqp_basic_get(conn_, channel_, Bytes(queue), 0);
  Check(reply, "receiving from queue '" + queue + "'");
  if (reply.reply.id != AMQP_BASIC_GET_OK_METHOD) {
    return std::nullopt;
  }
  const std::uint64_t tag =
      static_cast<const amqp_basic_get_ok_t*>(reply.reply.decoded)->delivery_tag;
  Delivery delivery{tag, {}, {}};
  delivery.message = ReadContent("receiving from queue '" + queue + "'", &delivery.id);
  amqp_maybe_release_buffers(conn_);
  return delivery;
}

void BrokerConnection::Ack(std::uint64_t tag) {
  CheckStatus(amqp_basic_ack(conn_, channel_, tag, 0), "acknowledging a message");
  AwaitEarlierMethods("acknowledging a message");
}

void BrokerConnection::Requeue(std::uint64_t tag) {
  CheckStatus(amqp_basic_reject(conn_, channel_, tag, 1), "returning a message to its queue");
  AwaitEarlierMethods("returning a message to its queue");
}

void BrokerConnection::AwaitEarlierMethods(const std::string& what) {
  // Acknowledgements have no answer of their own. The broker handles a
  // channel's methods in order, so the answer to a call sent after one shows
  // that the broker has it; a connection that broke in between means the
  // message went back to its queue.
  amqp_basic_qos(conn_, channel_, 0, 1, 0);
  Check(amqp_get_rpc_reply(conn_), what);
}

std::string BrokerConnection::Consume(const std::string& queue) {
  const amqp_basic_consume_ok_t* ok = amqp_basic_consume(
      conn_, channel_, Bytes(queue), amqp_empty_bytes, 0, 0, 0, amqp_empty_table);
  Check(amqp_get_rpc_reply(conn_), "watching queue '" + queue + "'");
  cancelledByBroker_ = false;
  return Text(ok->consumer_tag);
}

void BrokerConnection::Cancel(const std::string& consumerTag) {
  amqp_basic_cancel(conn_, channel_, Bytes(consumerTag));
  Check(amqp_get_rpc_reply(conn_), "ending a watch");
}

}  // namespace quillpost::queue
