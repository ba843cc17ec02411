#pragma once

// A queue on a broker, opened for receiving or for sending.
//
// Receiving: Receive takes a message with basic.get (or, when it may wait, from
// a consumer started for the wait). Arrival reports use a consumer that runs
// only while a report is armed: the broker pushes at most one message (prefetch
// one), the report is delivered, and a message that the sink did not receive is
// given back to the broker at once. So a receiver that is not armed holds
// nothing of the broker's.
//
// A message read off the socket before the connection broke is still handed
// over (it can no longer be finished): the broker may not take it back. A
// quorum queue (RabbitMQ 3.10) keeps a message pushed to a consumer that was
// then cancelled, when the channel's node is lost, until the queue's next
// change of leader; dropped here it would be lost to everyone meanwhile.
// Handed over, it is sent, and sent again if the broker returns it: at least
// once, never lost.
//
// The notification descriptor is an epoll descriptor holding the connection's
// socket, an eventfd (frames already read but not handled) and a timerfd (the
// next reconnection attempt). It stays the same across reconnections, so an
// event loop keeps waiting on it while the broker is away.

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "posix/unique_fd.h"
#include "queue/broker/broker_address.h"
#include "queue/broker/broker_connection.h"
#include "queue/queue.h"

namespace quillpost::queue {

// The connection of an open queue, shared with the messages received from it
// (which may outlive the queue). Replaced when the queue reconnects.
struct BrokerSession {
  explicit BrokerSession(BrokerQueueName queueName) : name(std::move(queueName)) {}
  // Makes the receiving queue's descriptor readable when deliveries or frames
  // wait in memory, where the socket cannot show them.
  void SignalIfPending() const;

  BrokerQueueName name;
  std::unique_ptr<BrokerConnection> connection;
  posix::UniqueFd due;  // receive access: eventfd, "look at the connection"
};

class BrokerQueue final : public OpenQueue {
 public:
  // Connects and checks that the queue exists. Throws NoSuchQueue or QueueError.
  BrokerQueue(const BrokerQueueName& name, Access access);
  ~BrokerQueue() override;
  BrokerQueue(const BrokerQueue&) = delete;
  BrokerQueue& operator=(const BrokerQueue&) = delete;

  // Without the credentials: the name is meant for logs.
  const std::string& PathName() const override { return displayName_; }
  Access OpenedFor() const override { return access_; }
  std::optional<ReceivedMessage> Receive(std::chrono::milliseconds timeout) override;
  void EnableNotification(ArrivalSink& sink) override;
  int NotificationDescriptor() const override;
  void DeliverNotification() override;
  void Send(const Message& message) override;
  void Close() override;

  // Pauses between reconnection attempts: the first, and the longest.
  static constexpr std::chrono::milliseconds kFirstPause{1000};
  static constexpr std::chrono::milliseconds kLongestPause{60000};

 private:
  void Require(Access access, const char* operation) const;
  BrokerConnection& Connected();
  void Connect();
  void SetUpNotification();
  void WatchSocket();
  void SignalDue();
  // True when the reconnection timer has expired.
  bool Drain();
  void ConnectionLost(const std::string& why);
  void ScheduleReconnect();
  void TryReconnect();
  void UnwatchSocket();
  void StartWatching();
  void StopWatching();
  void GiveBack(const std::vector<std::uint64_t>& tags);
  ReceivedMessage Hand(Delivery delivery, std::uint64_t epoch);
  std::optional<ReceivedMessage> TakeOrphan();
  // Reads what the connection has; the tags of the deliveries it holds.
  std::vector<std::uint64_t> Offered();

  std::string displayName_;
  Access access_;
  std::shared_ptr<BrokerSession> session_;
  bool open_ = true;
  ArrivalSink* armed_ = nullptr;
  std::string consumerTag_;
  bool reportAnyway_ = false;
  // Deliveries read from a connection that then broke, with its channel epoch.
  std::deque<std::pair<Delivery, std::uint64_t>> orphans_;

  posix::UniqueFd epoll_;
  posix::UniqueFd timer_;
  int watchedSocket_ = -1;
  bool lost_ = false;
  std::chrono::milliseconds pause_ = kFirstPause;
  // Where the next reconnection starts: the node after the one lost.
  std::size_t nextNode_ = BrokerConnection::kAnyNode;
};

}  // namespace quillpost::queue
