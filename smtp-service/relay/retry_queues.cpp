// The two retry queues: their arrival handlers, the re-queue step and the
// retryswap tick that passes the turn between them.

#include <chrono>

#include "relay/current_failure.h"
#include "relay/retry_label.h"
#include "relay/retry_policy.h"
#include "relay/status.h"

namespace quillpost::relay {
namespace {

constexpr std::chrono::milliseconds kNoWait{0};

std::string OtherLetter(const std::string& letter) {
  return letter == "A" ? "B" : "A";
}

}  // namespace

void Status::retryaevent_Arrived(queue::OpenQueue& Queue, long /*Cursor*/) {
  RetryArrived(Queue, "A", retryAevent, parked_.retryA);
}

void Status::retrybevent_Arrived(queue::OpenQueue& Queue, long /*Cursor*/) {
  RetryArrived(Queue, "B", retrybevent, parked_.retryB);
}

void Status::RetryArrived(queue::OpenQueue& queue, const std::string& letter, HandlerSink& sink,
                          bool& parked) {
  if (ActiveRetryQueue != letter || !HasRoom()) {
    // Not this queue's turn, or no room for another delivery: the message
    // stays where it is, and the queue is armed again when a tick gives it
    // the turn or a delivery makes room.
    parked = true;
    return;
  }
  current_ = CurrentTry{};
  std::optional<queue::ReceivedMessage> message;
  After after = After::Rearm;
  try {
    message = queue.Receive(kNoWait);
    if (message) {
      after = HandleRetry(*message, letter);
    }
  } catch (...) {
    after = RescueAfterFailure(message, queue::RedactPathName(queue.PathName()), CurrentFailure());
  }
  if (after == After::Park) {
    parked = true;
  } else {
    Rearm(queue, sink, parked);
  }
}

Status::After Status::HandleRetry(queue::ReceivedMessage& message, const std::string& letter) {
  const std::string label = message.Label();
  if (!IsRetryLabel(label)) {
    WriteLog("Invalid message received from retry queue",
             "Queue=" + letter + ", Lable='" + label + "'");
    message.Finish();
    return After::Rearm;
  }
  const std::string& queueName = letter == "A" ? RetryQueueNameA : RetryQueueNameB;
  return DispatchHeld(message, queue::RedactPathName(queueName),
                      [label] { return ReadRetryCount(label); });
}

void Status::RequeueForRetry(queue::ReceivedMessage& message, const std::string& document,
                             int count) {
  const int next = count - 1;
  if (next >= 1) {
    // Never tried again before one interval has passed, whichever relay
    // looks at it.
    SendToRetryQueue(message, document, MakeRetryLabel(next), settings_.retrySwapInterval);
    return;
  }
  const auto now = std::chrono::system_clock::now();
  const auto queuedFor = std::chrono::duration_cast<std::chrono::milliseconds>(
      current_.identity ? now - current_.identity->submitted
                        : std::chrono::system_clock::duration::zero());
  if (IsPermanentFailure(current_.number, current_.replyCode)) {
    NoteGivenUp({});
    DeadLetter(message, "Retry allowance used up; request moved to dead-letter queue",
               "Lable=" + message.Label());
    return;
  }
  if (queuedFor >= settings_.maxQueueLifetime) {
    NoteGivenUp("4.4.7");
    DeadLetter(
        message, "Request queued for too long; moved to dead-letter queue",
        "Lable=" + message.Label() + ", Queued=" +
            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(queuedFor).count()) +
            "s");
    return;
  }
  // A passing failure: kept, with growing waits, until it is too old. Its
  // label keeps the count 0 from here on.
  SendToRetryQueue(
      message, document, MakeRetryLabel(0),
      DeferralInterval(queuedFor, settings_.deferInterval, settings_.maxDeferInterval));
}

bool Status::SendToRetryQueue(queue::ReceivedMessage& message, const std::string& document,
                              const std::string& label, std::chrono::milliseconds wait) {
  const std::string& pathName = TargetRetryQueue == "A" ? RetryQueueNameA : RetryQueueNameB;
  queue::Message next{label, WarnOfDelay(document), kRequestPriority};
  next.notBefore = std::chrono::system_clock::now() + wait;
  next.lastFailure = LastFailureText("");
  try {
    MoveOn(message, pathName, next);
  } catch (...) {
    WriteLog("Unable to re-queue message for retry", "Queue=" + TargetRetryQueue);
    DeadLetter(message, "Request moved to dead-letter queue after failed re-queue",
               "Error=" + CurrentFailure());
    return false;
  }
  WriteLog("Message submitted for retry to queue '" + TargetRetryQueue + "'", "Lable=" + label);
  Count(&Outcomes::requeued);
  RecordOutcome(maillog::Status::Deferred, current_.to,
                current_.detail + (current_.detail.empty() ? "" : "; ") + "next try in " +
                    std::to_string(std::chrono::ceil<std::chrono::seconds>(wait).count()) + " s",
                current_.delayNotice);
  return true;
}

void Status::retryswap_Timer() {
  ActiveRetryQueue = ActiveRetryQueue == "A" ? "B" : "A";
  // A failed request always waits at least one interval before its next try.
  TargetRetryQueue = OtherLetter(ActiveRetryQueue);
  RenewReplacedQueues();
  holdOffUntilTick_ = false;
  RearmParked();
}

}  // namespace quillpost::relay
