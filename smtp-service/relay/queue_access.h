#pragma once

// How the service reaches its store: creating missing queues and opening the
// three it listens on. The production access goes through queue::QueuePath.

#include <memory>
#include <string>

#include "queue/queue.h"

namespace quillpost::relay {

class QueueAccess {
 public:
  virtual ~QueueAccess() = default;

  // Creates the queue when it does not exist yet. Throws queue::QueueError.
  virtual void EnsureExists(const std::string& pathName) = 0;
  // Opens the queue for receiving, shared. Throws queue::QueueError.
  virtual std::unique_ptr<queue::OpenQueue> OpenForReceive(const std::string& pathName) = 0;
  // Stores message on the queue durably. Throws queue::QueueError.
  virtual void Send(const std::string& pathName, const queue::Message& message) = 0;
};

class StoreQueueAccess final : public QueueAccess {
 public:
  void EnsureExists(const std::string& pathName) override;
  std::unique_ptr<queue::OpenQueue> OpenForReceive(const std::string& pathName) override;
  void Send(const std::string& pathName, const queue::Message& message) override;
};

}  // namespace quillpost::relay
