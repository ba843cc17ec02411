#include "queue/broker/broker_sender.h"

#include <memory>

namespace quillpost::queue {

void BrokerSender::Send(const std::string& pathName, const Message& message) {
  // Each send borrows a kept connection (broker_pool.h) for its publish and
  // its confirm.
  const std::unique_ptr<OpenQueue> open = QueuePath(pathName).Open(Access::Send);
  open->Send(message);
  open->Close();
}

}  // namespace quillpost::queue
