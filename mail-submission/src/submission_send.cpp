#include <memory>
#include <string>
#include <string_view>

#include "eventlog/event_log.h"
#include "queue/queue.h"
#include "quillpost/submission.h"
#include "send_failure.h"
#include "submission_state.h"

namespace quillpost {
namespace {

constexpr std::string_view kInboundLabel = "Quillpost-Inbound";
constexpr int kInboundPriority = queue::kHighestPriority;
constexpr std::string_view kSendFailedEntry =
    "Mailer.Submision [COM]:Error submitting message to MSMQ.";

// The answer for an incomplete request, or an empty view when it is complete.
std::string_view CheckRequest(const detail::SubmissionState& state) {
  if (state.recipientCount < 1) {
    return kAnswerNoRecipients;
  }
  if (!state.fromSet) {
    return kAnswerNoFrom;
  }
  // With neither subject nor body, the subject is named: it comes first.
  if (!state.subjectSet) {
    return kAnswerNoSubject;
  }
  if (!state.bodySet) {
    return kAnswerNoBody;
  }
  return {};
}

// Opens the queue, sends one message and closes it. Throws on any failure; an
// open queue is then released without Close.
void PutOnQueue(const detail::SubmissionState& state, const Value& queuePathName) {
  const queue::QueuePath destination(queuePathName.Text());
  const std::unique_ptr<queue::OpenQueue> open = destination.Open(queue::Access::Send);
  if (!state.document) {
    throw SubmissionError(SubmissionError::Code::NoRequest, "Send: no request to send");
  }
  const queue::Message message{std::string(kInboundLabel), state.document->Serialize(),
                               kInboundPriority};
  open->Send(message);
  open->Close();
}

}  // namespace

void ReportSendFailure() noexcept {
  eventlog::ReportError(kSendFailedEntry);
}

std::string_view Submission::Send(const Value& queuePathName) const noexcept {
  const std::string_view incomplete = CheckRequest(*state_);
  if (!incomplete.empty()) {
    return incomplete;
  }
  try {
    PutOnQueue(*state_, queuePathName);
    return kAnswerOk;
  } catch (...) {
    // Every failure against the queue, or of the request itself, ends here.
    ReportSendFailure();
    return kAnswerInternalError;
  }
}

}  // namespace quillpost
