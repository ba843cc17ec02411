#include <string>

#include "document/request_format.h"
#include "document/whole_message.h"
#include "message/message_summary.h"
#include "message/sendable_message.h"
#include "quillpost/submission.h"
#include "submission_state.h"

namespace quillpost {
namespace {

// A message past this size no longer fits a request of the queues' old
// limit; its text part goes into the request cut to kSummaryText octets.
constexpr std::size_t kLargeMessage = std::size_t{1} << 20;
constexpr std::size_t kSummaryText = std::size_t{64} * 1024;

// text cut to at most `most` octets, never inside a UTF-8 character.
std::string CutText(std::string text, std::size_t most) {
  std::size_t end = most;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
    --end;
  }
  text.resize(end);
  return text;
}

}  // namespace

void Submission::SetMaxMessageSize(std::size_t octets) {
  if (octets == 0 || octets > kMaxMessageSizeLimit) {
    throw SubmissionError(SubmissionError::Code::InvalidValue,
                          "SetMaxMessageSize: " + std::to_string(octets) + " octets; give 1 to " +
                              std::to_string(kMaxMessageSizeLimit));
  }
  state_->maxMessageSize = octets;
}

std::size_t Submission::MaxMessageSize() const {
  return state_->maxMessageSize;
}

void Submission::SetMessage(const Value& message) {
  constexpr std::string_view kOperation = "SetMessage: ";
  using Code = SubmissionError::Code;
  if (!state_->document) {
    throw SubmissionError(Code::NoRequest,
                          std::string(kOperation) + "no request under way; call Initialise first");
  }
  if (!message.HasText()) {
    throw SubmissionError(Code::NoTextForm,
                          std::string(kOperation) + "message has no text form (a null string)");
  }
  std::string sendable;
  try {
    sendable = message::SendableMessage(message.Text());
  } catch (const message::UnsendableMessage& error) {
    throw SubmissionError(Code::InvalidValue, std::string(kOperation) + error.what());
  }
  if (sendable.size() > state_->maxMessageSize) {
    throw SubmissionError(Code::TooLarge, std::string(kOperation) + "the message has " +
                                              std::to_string(sendable.size()) +
                                              " octets; the limit is " +
                                              std::to_string(state_->maxMessageSize));
  }
  message::MessageSummary summary = message::Summarise(sendable);
  // The text part goes into the request once more, for status lines and
  // for relays that know no whole messages; for a large message only its
  // beginning, so that the request stays about a third larger than the
  // message.
  if (sendable.size() > kLargeMessage && summary.text.size() > kSummaryText) {
    summary.text = CutText(std::move(summary.text), kSummaryText);
  }
  const std::string encoded = document::EncodeWholeMessage(sendable);
  // The summary only holds carriable text, so these cannot fail on a value.
  SetSubject(summary.subject);
  SetBody(summary.text);
  try {
    document::RequestWriter& request = *state_->document;
    if (!request.SetFirst(document::kWholeMessageTag, encoded)) {
      request.AppendAfterSections(document::kWholeMessageTag, encoded);
    }
    state_->wholeMessageSet = true;
  } catch (const document::DocumentError& error) {
    throw SubmissionError(Code::Internal, std::string(kOperation) + error.what());
  }
}

}  // namespace quillpost
