#pragma once

// Sends to one broker queue from any number of threads of one process
// (queue/shared_sender.h). The sender keeps one connection, with its channel
// in confirm mode, from one send to the next, and pipelines: each thread
// publishes its message at once, whatever is in flight, and waits for its own
// confirm. One thread at a time reads the broker's confirms for all of them;
// the others sleep until a read settles theirs. A send costs one publish and
// its share of the confirms read; no connection, channel or queue lookup.

#include <sys/types.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "queue/broker/broker_connection.h"
#include "queue/shared_sender.h"

namespace quillpost::queue {

class BrokerSender final : public SharedSender {
 public:
  BrokerSender();
  ~BrokerSender() override;
  BrokerSender(const BrokerSender&) = delete;
  BrokerSender& operator=(const BrokerSender&) = delete;

  void Send(const std::string& pathName, const Message& message) override;

 private:
  // The working connection, connected anew when there is none or it broke.
  std::shared_ptr<BrokerConnection> Connection(const BrokerAddress& address);
  // Waits for the broker to settle sequence; the lock is held on entry and
  // on return.
  BrokerConnection::Outcome AwaitOutcome(std::unique_lock<std::mutex>& lock,
                                         const std::shared_ptr<BrokerConnection>& connection,
                                         std::uint64_t sequence, const std::string& what);
  // Reads the confirms that have come, waiting a while for them without the
  // lock. Throws when the connection fails.
  void ReadConfirms(std::unique_lock<std::mutex>& lock, BrokerConnection& connection,
                    std::chrono::milliseconds wait);

  std::mutex mutex_;
  std::condition_variable read_;
  bool reading_ = false;
  pid_t owner_;
  std::shared_ptr<BrokerConnection> connection_;
};

}  // namespace quillpost::queue
