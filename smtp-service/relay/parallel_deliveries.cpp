// Several SMTP sessions at once: requests are taken off their queues while
// there is room, their mails go out on the delivery pool's threads, and each
// comes back here, to this one thread, to be finished, re-queued or
// dead-lettered as a mail sent one at a time would be.
//
// The room grows from a few sessions, one with each mail delivered, up to
// max_parallel_deliveries. A relay host that will not open one more session
// while others are under way or just after a delivery (a refused connection,
// a 421 greeting, no greeting) lowers it by one, for a while; the request
// that met the refusal goes back to its queue untried, to be sent by another
// session.

#include <algorithm>

#include "relay/current_failure.h"
#include "relay/status.h"

namespace quillpost::relay {
namespace {

constexpr std::size_t kFirstSessions = 5;
// How long a lowered ceiling stays before it may grow again.
constexpr std::chrono::seconds kHoldCeiling{60};
// How long after a delivery the host counts as taking sessions.
constexpr std::chrono::seconds kRecentDelivery{10};

}  // namespace

void Status::AttachDeliveryPool(DeliveryPool& pool, std::size_t maxParallel) {
  pool_ = &pool;
  maxParallel_ = std::max<std::size_t>(maxParallel, 1);
  ceiling_ = std::min(kFirstSessions, maxParallel_);
}

int Status::CompletionDescriptor() const {
  return pool_ != nullptr ? pool_->CompletionDescriptor() : -1;
}

bool Status::HasRoom() const {
  return pool_ == nullptr || (!holdOffUntilTick_ && inFlight_.size() < ceiling_);
}

void Status::DeliveriesCompleted() {
  if (pool_ == nullptr) {
    return;
  }
  for (DeliveryPool::Delivery& done : pool_->TakeCompleted()) {
    const auto found = inFlight_.find(done.ticket);
    if (found == inFlight_.end()) {
      continue;
    }
    InFlight flight = std::move(found->second);
    inFlight_.erase(found);
    current_ = std::move(flight.current);
    if (SessionRefused(done.failure)) {
      // Untried: flight's message goes back to its queue as it ends here.
      LowerCeiling(done.failure);
      continue;
    }
    std::optional<queue::ReceivedMessage> message(std::move(flight.message));
    try {
      const std::string answer = ConcludeSend(*done.mail, done.failure);
      if (answer == "OK") {
        RaiseCeiling();
      }
      if (ConcludeTry(*message, flight.request, flight.queueName, flight.countOnFailure, answer) ==
          After::Park) {
        holdOffUntilTick_ = true;
      }
    } catch (...) {
      if (RescueAfterFailure(message, flight.queueName, CurrentFailure()) == After::Park) {
        holdOffUntilTick_ = true;
      }
    }
  }
  if (HasRoom()) {
    RearmParked();
  }
}

bool Status::SessionRefused(const std::exception_ptr& failure) const {
  // Other sessions under way, or kept open after a recent delivery: the host
  // takes sessions, only not one more. With none, and at one session, it is
  // a failure like any other (sessions kept from before may be stale, or to
  // another host of the list).
  const bool othersOpen =
      !inFlight_.empty() ||
      (ceiling_ > 1 && std::chrono::steady_clock::now() - lastDelivered_ < kRecentDelivery);
  if (!failure || !othersOpen) {
    return false;
  }
  try {
    std::rethrow_exception(failure);
  } catch (const smtp::SendFailure& refusal) {
    return refusal.Number() == smtp::failure::kNoConnection ||
           refusal.Number() == smtp::failure::kNotListening;
  } catch (...) {
    return false;
  }
}

void Status::LowerCeiling(const std::exception_ptr& failure) {
  holdCeilingUntil_ = std::chrono::steady_clock::now() + kHoldCeiling;
  if (ceiling_ <= 1) {
    return;
  }
  // The session refused was the one too many.
  --ceiling_;
  std::string reply;
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& refusal) {
    reply = refusal.what();
  }
  WriteLog("SMTP server takes no more sessions; delivering over fewer",
           "Sessions=" + std::to_string(ceiling_) + ", Relay=" + RelayName() + ", Reply=" + reply);
}

void Status::RaiseCeiling() {
  lastDelivered_ = std::chrono::steady_clock::now();
  if (ceiling_ < maxParallel_ && std::chrono::steady_clock::now() >= holdCeilingUntil_) {
    ++ceiling_;
  }
}

void Status::RearmParked() {
  if (parked_.inbound && InboundQueue) {
    Rearm(*InboundQueue, requestevent, parked_.inbound);
  }
  if (ActiveRetryQueue == "A" && parked_.retryA && RetryQueueA) {
    Rearm(*RetryQueueA, retryAevent, parked_.retryA);
  }
  if (ActiveRetryQueue == "B" && parked_.retryB && RetryQueueB) {
    Rearm(*RetryQueueB, retrybevent, parked_.retryB);
  }
}

}  // namespace quillpost::relay
