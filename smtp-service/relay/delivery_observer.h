#pragma once

// Who hears of every outcome the relay counts, as it happens: a monitor's
// counters. Called on the relay's thread; an observer that is read from
// another thread guards what it keeps.

#include <chrono>
#include <optional>

namespace quillpost::relay {

class DeliveryObserver {
 public:
  virtual ~DeliveryObserver() = default;

  // A request went to every recipient and left its queue. sinceStamp: the
  // time since the relay first saw it; empty when it carries no stamp.
  virtual void Sent(std::optional<std::chrono::system_clock::duration> sinceStamp) = 0;
  // A request was put on a retry queue after a failed try.
  virtual void Deferred() = 0;
  // A request was moved to the dead-letter queue.
  virtual void DeadLettered() = 0;
  // A try failed with this failure number (a refusal of some recipients too).
  virtual void SendFailed(int number) = 0;
  // A delivery status notification went on the inbound queue.
  virtual void NoticeSent() = 0;
};

class NullDeliveryObserver final : public DeliveryObserver {
 public:
  void Sent(std::optional<std::chrono::system_clock::duration> /*sinceStamp*/) override {}
  void Deferred() override {}
  void DeadLettered() override {}
  void SendFailed(int /*number*/) override {}
  void NoticeSent() override {}
};

}  // namespace quillpost::relay
