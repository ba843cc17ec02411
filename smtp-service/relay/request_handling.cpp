// Taking one message off a queue and seeing it through: dispatch, re-queue,
// dead-letter. A message leaves the store only when its handler is done with
// it; until then a crash puts it back on its queue.

#include <chrono>

#include "document/request_rewrite.h"
#include "relay/current_failure.h"
#include "relay/retry_label.h"
#include "relay/status.h"

namespace quillpost::relay {
namespace {

constexpr std::chrono::milliseconds kNoWait{0};
// How long one arrival may go on taking the requests that wait behind the
// first before the other events get their turn.
constexpr std::chrono::milliseconds kBatchTime{50};

}  // namespace

void Status::requestevent_Arrived(queue::OpenQueue& Queue, long /*Cursor*/) {
  // A full queue is drained without a wake-up and a re-arming per request,
  // as far as there is room for deliveries; a delivery that ends makes room
  // and arms the queue again.
  const auto until = std::chrono::steady_clock::now() + kBatchTime;
  After after = HasRoom() ? After::Rearm : After::Park;
  for (bool more = after == After::Rearm; more;) {
    current_ = CurrentTry{};
    std::optional<queue::ReceivedMessage> message;
    try {
      message = Queue.Receive(kNoWait);
      if (message) {
        after = HandleRequest(*message);
      }
    } catch (...) {
      after =
          RescueAfterFailure(message, queue::RedactPathName(Queue.PathName()), CurrentFailure());
    }
    more =
        message && after == After::Rearm && std::chrono::steady_clock::now() < until && HasRoom();
  }
  if (after == After::Park || !HasRoom()) {
    parked_.inbound = true;
  } else {
    Rearm(Queue, requestevent, parked_.inbound);
  }
}

Status::After Status::HandleRequest(queue::ReceivedMessage& message) {
  if (message.Label() != kInboundLabel) {
    WriteLog("Invalid message recieved (data is label)", message.Label());
    message.Finish();
    return After::Rearm;
  }
  return DispatchHeld(message, queue::RedactPathName(InboundQueueName),
                      [this]() -> std::optional<int> { return RetryAllowance; });
}

Status::After Status::DispatchHeld(queue::ReceivedMessage& message, const std::string& queueName,
                                   const std::function<std::optional<int>()>& countOnFailure) {
  if (IsOversized(message)) {
    return DeadLetterOversized(message, queueName);
  }
  current_ = CurrentTry{};
  current_.takenAt = std::chrono::system_clock::now();
  // The request is read once, here; what goes back on a queue is written
  // anew from what was read, so every try sends the same values.
  std::optional<document::RequestReader> request;
  std::unique_ptr<MailPort> mail;
  std::string answer;
  try {
    std::unique_ptr<message::ByteSource> whole = ReadHeldRequest(message, request);
    current_.identity = IdentifyRequest(message, &*request, current_.takenAt);
    mail = PrepareMail(*request, std::move(whole));
    if (!pool_) {
      answer = DispatchPrepared(*mail);
    }
  } catch (...) {
    // Nothing went out: dead-lettered exactly as it came.
    const std::string failure = CurrentFailure();
    if (!current_.identity) {
      current_.identity = IdentifyRequest(message, nullptr, current_.takenAt);
    }
    return DeadLetter(message, "Request cannot be dispatched; moved to dead-letter queue",
                      "Queue=" + queueName + ", Error=" + failure)
               ? After::Rearm
               : After::Park;
  }
  if (pool_) {
    // Its session sends it while this thread goes on; DeliveriesCompleted
    // sees it through from there.
    const std::uint64_t ticket = ++lastTicket_;
    inFlight_.emplace(ticket, InFlight{std::move(current_), std::move(message), std::move(*request),
                                       queueName, countOnFailure});
    pool_->Submit({ticket, std::move(mail), {}});
    return After::Rearm;
  }
  return ConcludeTry(message, *request, queueName, countOnFailure, answer);
}

Status::After Status::ConcludeTry(queue::ReceivedMessage& message,
                                  const document::RequestReader& request,
                                  const std::string& queueName,
                                  const std::function<std::optional<int>()>& countOnFailure,
                                  const std::string& answer) {
  ++current_.identity->tries;
  if (!current_.delivered.empty()) {
    RecordOutcome(maillog::Status::Sent, current_.delivered, "delivered to " + RelayName());
  }
  if (answer == "OK") {
    try {
      message.Finish();
    } catch (...) {
      // The mail went out but stays on its queue: it will be sent again.
      const std::string failure = CurrentFailure();
      WriteLog("Unable to remove delivered request from its queue",
               "Queue=" + queueName + ", Error=" + failure);
      ReportFailure("delivered request left on queue " + queueName + ": " + failure);
      return After::Park;
    }
    Count(&Outcomes::sent);
    return After::Rearm;
  }

  if (const std::optional<After> after = GiveUpPermanentRefusals(message, request)) {
    return *after;
  }
  if (current_.document.empty()) {
    // With this try counted and, when some recipients have the mail, only
    // the others left to reach.
    document::RequestChanges changes;
    changes.tries = current_.identity->tries;
    if (!current_.delivered.empty()) {
      changes.to = current_.to;
    }
    current_.document = document::RewriteRequest(request, changes);
  }
  const std::optional<int> count = countOnFailure();
  if (!count) {
    return DeadLetter(message, "Retry count unreadable; request moved to dead-letter queue",
                      "Queue=" + queueName + ", Lable='" + message.Label() + "'")
               ? After::Rearm
               : After::Park;
  }
  RequeueForRetry(message, current_.document, *count);
  return message.Held() ? After::Park : After::Rearm;
}

bool Status::DeadLetter(queue::ReceivedMessage& message, const std::string& why,
                        const std::string& data) {
  queue::Message dead{std::string(kInboundLabel),
                      current_.document.empty() ? message.Body() : current_.document,
                      kRequestPriority};
  // A dead letter says why it is dead.
  dead.lastFailure = LastFailureText(why + ": " + data);
  try {
    MoveOn(message, DeadLetterQueueName, dead);
  } catch (...) {
    const std::string failure = CurrentFailure();
    WriteLog("Unable to move request to dead-letter queue",
             "Queue=" + queue::RedactPathName(DeadLetterQueueName) + ", Error=" + failure);
    ReportFailure("unable to move a request to " + queue::RedactPathName(DeadLetterQueueName) +
                  ": " + failure);
    return false;
  }
  WriteLog(why, data);
  Count(&Outcomes::deadLettered);
  const std::string notice = SendNotice(dead.body);
  RecordOutcome(maillog::Status::Bounced, current_.to,
                current_.number != 0 ? current_.detail : why + ": " + data, notice);
  return true;
}

Status::After Status::RescueAfterFailure(std::optional<queue::ReceivedMessage>& message,
                                         const std::string& queueName, const std::string& what) {
  if (!message) {
    // Nothing in hand: the store itself failed. Leave the queue alone until
    // the next tick instead of spinning on it.
    WriteLog("Unable to receive from queue", "Queue=" + queueName + ", Error=" + what);
    return After::Park;
  }
  if (!message->Held()) {
    WriteLog("Failure after handling request", "Queue=" + queueName + ", Error=" + what);
    return After::Rearm;
  }
  return DeadLetter(*message, "Failure while handling request; moved to dead-letter queue",
                    "Queue=" + queueName + ", Error=" + what)
             ? After::Rearm
             : After::Park;
}

void Status::Rearm(queue::OpenQueue& queue, HandlerSink& sink, bool& parked) {
  parked = false;
  std::string failure;
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      queue.EnableNotification(sink);
      return;
    } catch (...) {
      failure = CurrentFailure();
    }
  }
  // Tried at the next tick again, so the queue is never left unserved.
  parked = true;
  WriteLog("Unable to re-arm queue notification",
           "Queue=" + queue::RedactPathName(queue.PathName()) + ", Error=" + failure);
  ReportFailure("unable to re-arm queue " + queue::RedactPathName(queue.PathName()) + ": " +
                failure);
}

}  // namespace quillpost::relay
