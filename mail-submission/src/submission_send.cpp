#include <string>
#include <string_view>

#include "eventlog/event_log.h"
#include "process_senders.h"
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
static_assert(kMaxDocumentBytes == queue::kMaxBodyBytes);
static_assert(kMaxBrokerDocumentBytes == queue::kMaxBrokerBodyBytes);
static_assert(kMaxPlainDocumentBytes <= queue::kMaxHeldBodyBytes);
// A request carrying the largest message fits a queue in a store.
static_assert(kMaxMessageSizeLimit / 3 * 4 + 4 + (std::size_t{1} << 20) <= kMaxDocumentBytes);

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

// Sends one message through the process's sender for the queue's store.
// Throws on any failure.
void PutOnQueue(const detail::SubmissionState& state, const Value& queuePathName) {
  const std::string& pathName = queuePathName.Text();
  if (!state.document) {
    throw SubmissionError(SubmissionError::Code::NoRequest, "Send: no request to send");
  }
  const queue::Message message{std::string(kInboundLabel), state.document->Serialize(),
                               kInboundPriority};
  if (!state.wholeMessageSet && message.body.size() > kMaxPlainDocumentBytes) {
    throw queue::InvalidMessage("the request takes " + std::to_string(message.body.size()) +
                                " bytes; one without a whole message (SetMessage) takes at most " +
                                std::to_string(kMaxPlainDocumentBytes));
  }
  SendThroughProcessSender(pathName, message);
}

// Keeps the cause of a failed send for LastSendFailure. Out of memory, the
// cause is lost but the answer stays the same.
void RecordSendFailure(const detail::SubmissionState& state, std::string_view cause) noexcept {
  try {
    state.sendFailure = cause;
  } catch (...) {
    state.sendFailure.clear();
  }
}

}  // namespace

std::size_t Submission::MaxDocumentBytesFor(std::string_view queuePathName) {
  return queue::MaxBodyBytesFor(std::string(queuePathName));
}

void ReportSendFailure() noexcept {
  eventlog::ReportError(kSendFailedEntry);
}

std::string_view Submission::Send(const Value& queuePathName) const noexcept {
  state_->sendFailure.clear();
  const std::string_view incomplete = CheckRequest(*state_);
  if (!incomplete.empty()) {
    return incomplete;
  }
  try {
    PutOnQueue(*state_, queuePathName);
    return kAnswerOk;
  } catch (const std::exception& error) {
    // Every failure against the queue, or of the request itself, ends here.
    RecordSendFailure(*state_, error.what());
  } catch (...) {
    RecordSendFailure(*state_, "unknown failure");
  }
  ReportSendFailure();
  return kAnswerInternalError;
}

std::string Submission::LastSendFailure() const {
  return state_->sendFailure;
}

}  // namespace quillpost
