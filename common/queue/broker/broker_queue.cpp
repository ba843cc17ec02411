#include "queue/broker/broker_queue.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>

#include <algorithm>

#include "eventlog/event_log.h"
#include "posix/event_fd.h"
#include "posix/system_error.h"
#include "queue/backend.h"
#include "queue/broker/broker_pool.h"
#include "queue/path_name.h"

namespace quillpost::queue {
namespace {

using posix::ThrowSystem;

class BrokerHeldMessage final : public HeldMessage {
 public:
  BrokerHeldMessage(std::shared_ptr<BrokerSession> session, std::uint64_t epoch, std::uint64_t tag,
                    std::string id, std::chrono::system_clock::time_point arrived)
      : session_(std::move(session)),
        epoch_(epoch),
        tag_(tag),
        id_(std::move(id)),
        arrived_(arrived) {}

  void Finish() override {
    Connection().Ack(tag_);
    session_->SignalIfPending();
  }

  void FinishAndSend(const std::string& pathName, const Message& next) override {
    CheckMovedMessage(next);
    const BrokerAddress& here = session_->name.broker;
    if (BackendKindOf(pathName) != BackendKind::Broker) {
      throw QueueError("cannot move a message from broker " + here.Display() + " to '" +
                       RedactPathName(pathName) + "': both queues must be on the same broker");
    }
    const BrokerQueueName target = ParseBrokerQueuePath(pathName);
    if (!target.broker.SameBroker(here)) {
      throw QueueError("cannot move a message from broker " + here.Display() + " to '" +
                       target.Display() + "': both queues must be on the same broker");
    }
    // Stored on the target first, then taken off its queue: a failure in
    // between leaves it on both (at least once), never on neither.
    // It keeps its id and arrival on the next queue.
    Message moved = next;
    moved.arrived = arrived_;
    Connection().Publish(target.queue, moved, id_);
    Connection().Ack(tag_);
    session_->SignalIfPending();
  }

  void Release() noexcept override {
    try {
      Connection().Requeue(tag_);
      session_->SignalIfPending();
    } catch (const QueueError&) {
      // The connection is gone, and with it the broker has put the message
      // back on its queue already.
    }
  }

 private:
  BrokerConnection& Connection() {
    const std::unique_ptr<BrokerConnection>& connection = session_->connection;
    if (!connection || connection->Broken() || connection->ChannelEpoch() != epoch_) {
      throw QueueError("the message is no longer held by this process: the connection to broker " +
                       session_->name.broker.Display() +
                       " was interrupted and the broker put the message back on its queue");
    }
    return *connection;
  }

  std::shared_ptr<BrokerSession> session_;
  std::uint64_t epoch_;
  std::uint64_t tag_;
  std::string id_;
  std::chrono::system_clock::time_point arrived_;
};

}  // namespace

void BrokerSession::SignalIfPending() const {
  if (!due.Valid() || !connection) {
    return;
  }
  if (!connection->Deliveries().empty() || connection->HasBufferedInput()) {
    posix::Signal(due.Get());
  }
}

BrokerQueue::BrokerQueue(const BrokerQueueName& name, Access access)
    : displayName_(name.Display()),
      access_(access),
      session_(std::make_shared<BrokerSession>(name)) {
  if (access_ == Access::Send) {
    session_->connection = TakeIdleConnection(name.broker);
  }
  if (!session_->connection) {
    session_->connection = std::make_unique<BrokerConnection>(name.broker);
  }
  if (!session_->connection->Inspect(name.queue)) {
    throw NoSuchQueue("there is no queue '" + name.queue + "' on broker " + name.broker.Display());
  }
  if (access_ == Access::Receive) {
    SetUpNotification();
  }
}

BrokerQueue::~BrokerQueue() {
  Close();
}

void BrokerQueue::SetUpNotification() {
  epoll_ = posix::NewEpoll();
  session_->due = posix::NewEventFd();
  timer_.Reset(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  if (!epoll_.Valid() || !session_->due.Valid() || !timer_.Valid()) {
    ThrowSystem<QueueError>("cannot set up arrival reports for queue '" + displayName_ + "'");
  }
  for (const int fd : {session_->due.Get(), timer_.Get()}) {
    posix::Require<QueueError>(posix::WatchReadable(epoll_.Get(), fd),
                               "cannot set up arrival reports for queue '" + displayName_ + "'");
  }
  WatchSocket();
}

void BrokerQueue::WatchSocket() {
  const int socket = session_->connection->Socket();
  if (!posix::WatchReadable(epoll_.Get(), socket)) {
    ThrowSystem<QueueError>("cannot watch the broker connection of queue '" + displayName_ + "'");
  }
  watchedSocket_ = socket;
}

void BrokerQueue::UnwatchSocket() {
  if (watchedSocket_ >= 0 && epoll_.Valid()) {
    ::epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, watchedSocket_, nullptr);
  }
  watchedSocket_ = -1;
}

void BrokerQueue::Require(Access access, const char* operation) const {
  RequireOpenFor(displayName_, open_, access_, access, operation);
}

void BrokerQueue::SignalDue() {
  posix::Signal(session_->due.Get());
}

bool BrokerQueue::Drain() {
  posix::Drain(session_->due.Get());
  return posix::Drain(timer_.Get());
}

BrokerConnection& BrokerQueue::Connected() {
  if (session_->connection && !session_->connection->Broken()) {
    return *session_->connection;
  }
  if (access_ == Access::Receive) {
    if (session_->connection) {
      ConnectionLost("the connection broke");
    }
    TryReconnect();
    if (!session_->connection) {
      throw QueueError("broker " + session_->name.broker.Display() + " is unreachable; queue '" +
                       displayName_ + "' reconnects by itself");
    }
  } else {
    // The node that failed has its turn last.
    const std::size_t next =
        session_->connection ? session_->connection->Node() + 1 : BrokerConnection::kAnyNode;
    session_->connection.reset();
    session_->connection = std::make_unique<BrokerConnection>(session_->name.broker, next);
  }
  return *session_->connection;
}

void BrokerQueue::ConnectionLost(const std::string& why) {
  if (!lost_) {
    lost_ = true;
    pause_ = kFirstPause;
    eventlog::ReportError("Quillpost queue: lost the connection to the broker of queue '" +
                          displayName_ + "' (" + why + "); reconnecting");
  }
  consumerTag_.clear();
  UnwatchSocket();
  if (session_->connection) {
    // Another node of a cluster takes over first.
    nextNode_ = session_->connection->Node() + 1;
    const std::uint64_t epoch = session_->connection->ChannelEpoch();
    for (Delivery& delivery : session_->connection->Deliveries()) {
      orphans_.emplace_back(std::move(delivery), epoch);
    }
  }
  session_->connection.reset();
  ScheduleReconnect();
}

void BrokerQueue::ScheduleReconnect() {
  itimerspec when{};
  when.it_value.tv_sec = static_cast<time_t>(pause_.count() / 1000);
  when.it_value.tv_nsec = static_cast<long>((pause_.count() % 1000) * 1000000);
  ::timerfd_settime(timer_.Get(), 0, &when, nullptr);
}

void BrokerQueue::TryReconnect() {
  try {
    session_->connection = std::make_unique<BrokerConnection>(session_->name.broker, nextNode_);
    WatchSocket();
  } catch (const QueueError&) {
    UnwatchSocket();
    session_->connection.reset();
    pause_ = std::min(kLongestPause, pause_ * 3 / 2);
    ScheduleReconnect();
    return;
  }
  if (lost_) {
    lost_ = false;
    eventlog::ReportError("Quillpost queue: the connection to the broker of queue '" +
                          displayName_ + "' is back");
  }
  pause_ = kFirstPause;
  if (armed_ != nullptr) {
    try {
      StartWatching();
    } catch (const QueueError& error) {
      if (!session_->connection || session_->connection->Broken()) {
        ConnectionLost(error.what());
        return;
      }
      // The queue is gone or refused: the receiver's Receive meets the reason.
      reportAnyway_ = true;
      SignalDue();
    }
  }
}

void BrokerQueue::StartWatching() {
  if (consumerTag_.empty()) {
    consumerTag_ = session_->connection->Consume(session_->name.queue);
  }
}

void BrokerQueue::StopWatching() {
  const std::string tag = std::exchange(consumerTag_, std::string());
  if (!tag.empty() && session_->connection && !session_->connection->Broken() &&
      !session_->connection->ConsumerCancelledByBroker()) {
    session_->connection->Cancel(tag);
  }
}

void BrokerQueue::GiveBack(const std::vector<std::uint64_t>& tags) {
  if (!session_->connection) {
    return;
  }
  BrokerConnection& connection = *session_->connection;
  std::deque<Delivery>& deliveries = connection.Deliveries();
  for (const std::uint64_t tag : tags) {
    const auto found = std::find_if(deliveries.begin(), deliveries.end(),
                                    [tag](const Delivery& d) { return d.tag == tag; });
    if (found != deliveries.end()) {
      deliveries.erase(found);
      connection.Requeue(tag);
    }
  }
}

ReceivedMessage BrokerQueue::Hand(Delivery delivery, std::uint64_t epoch) {
  const auto arrived = delivery.message.arrived;
  return ReceivedMessage(std::move(delivery.message),
                         std::make_unique<BrokerHeldMessage>(session_, epoch, delivery.tag,
                                                             std::move(delivery.id), arrived));
}

std::optional<ReceivedMessage> BrokerQueue::TakeOrphan() {
  if (orphans_.empty()) {
    return std::nullopt;
  }
  auto [delivery, epoch] = std::move(orphans_.front());
  orphans_.pop_front();
  return Hand(std::move(delivery), epoch);
}

std::optional<ReceivedMessage> BrokerQueue::Receive(std::chrono::milliseconds timeout) {
  Require(Access::Receive, "receive");
  if (std::optional<ReceivedMessage> orphan = TakeOrphan()) {
    return orphan;
  }
  BrokerConnection& connection = Connected();
  const std::string& queue = session_->name.queue;
  std::deque<Delivery>& deliveries = connection.Deliveries();
  auto takeFirst = [&] {
    Delivery first = std::move(deliveries.front());
    deliveries.pop_front();
    session_->SignalIfPending();
    return Hand(std::move(first), connection.ChannelEpoch());
  };
  try {
    connection.Pump(std::chrono::milliseconds(0));
    if (!deliveries.empty()) {
      return takeFirst();
    }
    if (std::optional<Delivery> got = connection.Get(queue)) {
      return Hand(std::move(*got), connection.ChannelEpoch());
    }
    if (timeout.count() == 0) {
      return std::nullopt;
    }
    // Wait with a consumer of its own (unless an armed one runs already).
    const bool temporary = consumerTag_.empty();
    StartWatching();
    const bool forever = timeout.count() < 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (deliveries.empty()) {
      const auto left = forever ? std::chrono::milliseconds(60000)
                                : std::chrono::ceil<std::chrono::milliseconds>(
                                      deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        break;
      }
      connection.Pump(left);
      if (connection.ConsumerCancelledByBroker()) {
        connection.ClearCancelledByBroker();
        consumerTag_.clear();
        throw NoSuchQueue("queue '" + displayName_ + "' has been deleted");
      }
    }
    if (temporary) {
      // A message pushed before the broker saw the cancel is ours too.
      StopWatching();
    }
    if (!deliveries.empty()) {
      return takeFirst();
    }
    return std::nullopt;
  } catch (const QueueError& error) {
    if (!session_->connection || session_->connection->Broken()) {
      ConnectionLost(error.what());
    }
    throw;
  }
}

void BrokerQueue::EnableNotification(ArrivalSink& sink) {
  Require(Access::Receive, "arm arrival reports");
  armed_ = &sink;
  if (!orphans_.empty()) {
    SignalDue();
    return;
  }
  if (!session_->connection) {
    return;  // reconnecting: the report comes once the broker is back
  }
  try {
    if (session_->connection->Broken()) {
      ConnectionLost("the connection broke");
      return;
    }
    if (!session_->connection->Deliveries().empty()) {
      SignalDue();
      return;
    }
    StartWatching();
    session_->SignalIfPending();
  } catch (const NoSuchQueue&) {
    throw;
  } catch (const QueueError& error) {
    if (!session_->connection || session_->connection->Broken()) {
      ConnectionLost(error.what());
      return;
    }
    throw;
  }
}

int BrokerQueue::NotificationDescriptor() const {
  Require(Access::Receive, "report arrivals");
  return epoll_.Get();
}

std::vector<std::uint64_t> BrokerQueue::Offered() {
  std::vector<std::uint64_t> offered;
  try {
    BrokerConnection& connection = *session_->connection;
    if (connection.Broken()) {
      throw QueueError("the connection broke");
    }
    connection.Pump(std::chrono::milliseconds(0));
    if (connection.ConsumerCancelledByBroker()) {
      connection.ClearCancelledByBroker();
      consumerTag_.clear();
      reportAnyway_ = armed_ != nullptr;
    }
    if (!connection.Deliveries().empty()) {
      // Nothing more is pushed until the receiver arms again.
      StopWatching();
    }
    for (const Delivery& delivery : connection.Deliveries()) {
      offered.push_back(delivery.tag);
    }
  } catch (const QueueError& error) {
    if (!session_->connection || session_->connection->Broken()) {
      // What was read goes to the orphans.
      ConnectionLost(error.what());
      return {};
    }
    // The channel was refused (its queue deleted?): the receiver meets it.
    consumerTag_.clear();
    reportAnyway_ = armed_ != nullptr;
  }
  return offered;
}

void BrokerQueue::DeliverNotification() {
  if (!open_ || access_ != Access::Receive) {
    return;
  }
  if (Drain() && !session_->connection) {
    TryReconnect();
  }
  // While reconnecting, only orphans are reported.
  const std::vector<std::uint64_t> offered =
      session_->connection ? Offered() : std::vector<std::uint64_t>();
  const bool reportable =
      !offered.empty() || !orphans_.empty() || (reportAnyway_ && session_->connection != nullptr);
  if (armed_ != nullptr && reportable) {
    reportAnyway_ = false;
    ArrivalSink* sink = std::exchange(armed_, nullptr);
    sink->Arrived(*this, 0);
  }
  if (!open_) {
    return;
  }
  try {
    // What the sink did not receive goes back to the broker: an unarmed
    // receiver holds nothing.
    GiveBack(offered);
    session_->SignalIfPending();
  } catch (const QueueError& error) {
    ConnectionLost(error.what());
  }
}

void BrokerQueue::Send(const Message& message) {
  Require(Access::Send, "send");
  CheckBrokerMessage(message);
  BrokerConnection& connection = Connected();
  try {
    connection.Publish(session_->name.queue, message);
  } catch (const NoSuchQueue&) {
    throw NoSuchQueue("queue '" + displayName_ + "' has been deleted");
  }
}

void BrokerQueue::Close() {
  if (!open_) {
    return;
  }
  open_ = false;
  armed_ = nullptr;
  if (session_->connection && access_ == Access::Receive) {
    try {
      StopWatching();
      std::vector<std::uint64_t> all;
      for (const Delivery& delivery : session_->connection->Deliveries()) {
        all.push_back(delivery.tag);
      }
      GiveBack(all);
    } catch (const QueueError&) {
      // A broken connection returns everything to the broker by itself.
    }
  }
  if (access_ == Access::Send) {
    KeepIdleConnection(std::move(session_->connection));
  }
  UnwatchSocket();
  timer_.Reset();
  epoll_.Reset();
  session_.reset();
}

}  // namespace quillpost::queue
