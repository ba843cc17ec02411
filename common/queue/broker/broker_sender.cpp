#include "queue/broker/broker_sender.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "queue/broker/broker_address.h"
#include "queue/broker/broker_entry.h"

namespace quillpost::queue {
namespace {

using Outcome = BrokerConnection::Outcome;

constexpr std::chrono::seconds kConfirmTimeout{30};
// The longest a reader waits on the socket before the lock is taken again.
constexpr std::chrono::milliseconds kReadSlice{100};

// Notices a connection that the broker closed while it was idle, before a
// message is trusted to it.
bool StillWorks(BrokerConnection& connection) {
  try {
    connection.Pump(std::chrono::milliseconds(0));
  } catch (const QueueError&) {
    return false;
  }
  return !connection.Broken();
}

}  // namespace

std::unique_ptr<SharedSender> MakeBrokerSender() {
  return std::make_unique<BrokerSender>();
}

BrokerSender::BrokerSender() : owner_(::getpid()) {}

BrokerSender::~BrokerSender() {
  if (connection_ && owner_ != ::getpid()) {
    // A forked child's copy of its parent's socket: say nothing on it.
    connection_->Abandon();
  }
}

void BrokerSender::Send(const std::string& pathName, const Message& message) {
  CheckBrokerMessage(message);
  const BrokerQueueName name = ParseBrokerQueuePath(pathName);
  const std::string what = "sending to queue '" + name.queue + "'";
  std::unique_lock lock(mutex_);
  const std::shared_ptr<BrokerConnection> connection = Connection(name.broker);
  // The publish is mandatory: a missing queue comes back as a return.
  const std::uint64_t sequence = connection->PublishUnconfirmed(name.queue, message);
  const std::string node = connection->Address().DisplayNode(connection->Node());
  switch (AwaitOutcome(lock, connection, sequence, what)) {
    case Outcome::Stored:
      return;
    case Outcome::NoQueue:
      throw NoSuchQueue("there is no queue '" + name.queue + "' on broker " + node);
    case Outcome::Refused:
      throw QueueError("broker " + node + ": " + what + ": " + std::string(kRefusedText));
    case Outcome::Pending:
    case Outcome::Lost:
      break;
  }
  throw QueueError("broker " + node + ": " + what +
                   ": the channel was closed before the broker confirmed the message");
}

std::shared_ptr<BrokerConnection> BrokerSender::Connection(const BrokerAddress& address) {
  if (owner_ != ::getpid()) {
    if (connection_) {
      connection_->Abandon();
    }
    connection_.reset();
    owner_ = ::getpid();
  }
  if (!connection_ || !StillWorks(*connection_)) {
    // A node that failed has its turn last.
    const std::size_t next = connection_ ? connection_->Node() + 1 : BrokerConnection::kAnyNode;
    connection_.reset();
    connection_ = std::make_shared<BrokerConnection>(address, next);
  }
  return connection_;
}

BrokerConnection::Outcome BrokerSender::AwaitOutcome(
    std::unique_lock<std::mutex>& lock, const std::shared_ptr<BrokerConnection>& connection,
    std::uint64_t sequence, const std::string& what) {
  const auto deadline = std::chrono::steady_clock::now() + kConfirmTimeout;
  for (;;) {
    const Outcome outcome = connection->TakeOutcome(sequence);
    if (outcome != Outcome::Pending) {
      return outcome;
    }
    if (connection->Broken()) {
      throw QueueError("broker " + connection->Address().DisplayNode(connection->Node()) + ": " +
                       what + ": the connection broke before the broker confirmed the message");
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      // Later confirms on this connection could no longer be told apart.
      connection->Abandon();
      throw QueueError("broker " + connection->Address().DisplayNode(connection->Node()) + ": " +
                       what + ": the broker did not confirm the message in time");
    }
    if (reading_) {
      read_.wait_for(lock, std::min(left, kReadSlice));
      continue;
    }
    reading_ = true;
    try {
      ReadConfirms(lock, *connection, std::min(left, kReadSlice));
    } catch (...) {
      reading_ = false;
      read_.notify_all();
      // Every message in flight on it fails with it.
      connection->Abandon();
      throw;
    }
    reading_ = false;
    read_.notify_all();
  }
}

void BrokerSender::ReadConfirms(std::unique_lock<std::mutex>& lock, BrokerConnection& connection,
                                std::chrono::milliseconds wait) {
  if (!connection.HasBufferedInput()) {
    // Others publish meanwhile; the socket is only watched here, never read.
    pollfd socket{connection.Socket(), POLLIN, 0};
    lock.unlock();
    ::poll(&socket, 1, static_cast<int>(wait.count()));
    lock.lock();
  }
  connection.Pump(std::chrono::milliseconds(0));
}

}  // namespace quillpost::queue
