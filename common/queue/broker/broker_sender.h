#pragma once

// Sends to one broker queue from any number of threads of one process
// (queue/shared_sender.h).

#include <string>

#include "queue/shared_sender.h"

namespace quillpost::queue {

class BrokerSender final : public SharedSender {
 public:
  void Send(const std::string& pathName, const Message& message) override;
};

}  // namespace quillpost::queue
