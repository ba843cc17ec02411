#include "queue/broker/broker_sender.h"

#include <unistd.h>

#include <chrono>

#include "queue/broker/broker_address.h"

namespace quillpost::queue {
namespace {

// More idle connections than this are closed: more threads than this rarely
// send at the same moment.
constexpr std::size_t kMostIdle = 64;

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

BrokerSender::BrokerSender() : owner_(::getpid()) {}

BrokerSender::~BrokerSender() {
  if (owner_ != ::getpid()) {
    // A forked child's copies of its parent's sockets: close nothing the
    // parent still talks on.
    for (auto& connection : idle_) {
      connection->Abandon();
    }
  }
}

void BrokerSender::Send(const std::string& pathName, const Message& message) {
  CheckMessage(message);
  const BrokerQueueName name = ParseBrokerQueuePath(pathName);
  std::unique_ptr<BrokerConnection> connection = Borrow(name.broker);
  try {
    // The publish is mandatory: a missing queue comes back as NoSuchQueue.
    connection->Publish(name.queue, message);
  } catch (...) {
    GiveBack(std::move(connection));
    throw;
  }
  GiveBack(std::move(connection));
}

std::unique_ptr<BrokerConnection> BrokerSender::Borrow(const BrokerAddress& address) {
  {
    const std::lock_guard lock(mutex_);
    if (owner_ != ::getpid()) {
      for (auto& connection : idle_) {
        connection->Abandon();
      }
      idle_.clear();
      owner_ = ::getpid();
    }
    while (!idle_.empty()) {
      std::unique_ptr<BrokerConnection> connection = std::move(idle_.back());
      idle_.pop_back();
      if (StillWorks(*connection)) {
        return connection;
      }
    }
  }
  return std::make_unique<BrokerConnection>(address);
}

void BrokerSender::GiveBack(std::unique_ptr<BrokerConnection> connection) {
  if (connection->Broken()) {
    return;
  }
  const std::lock_guard lock(mutex_);
  if (owner_ == ::getpid() && idle_.size() < kMostIdle) {
    idle_.push_back(std::move(connection));
  }
}

}  // namespace quillpost::queue
