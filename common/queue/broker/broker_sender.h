#pragma once

// Sends to one broker queue from any number of threads of one process
// (queue/shared_sender.h). The sender keeps its connections, each with its
// channel in confirm mode, from one send to the next: one per thread that
// sends at the same moment as others, so that their messages are in flight
// together and each thread waits for its own confirm only. A send costs one
// publish and its confirm; no connection, channel or queue lookup.

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

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
  std::unique_ptr<BrokerConnection> Borrow(const BrokerAddress& address);
  void GiveBack(std::unique_ptr<BrokerConnection> connection);

  std::mutex mutex_;
  pid_t owner_;
  std::vector<std::unique_ptr<BrokerConnection>> idle_;
};

}  // namespace quillpost::queue
