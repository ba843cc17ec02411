#include <string>

#include "document/request_format.h"
#include "document/whole_message.h"
#include "message/message_summary.h"
#include "message/sendable_message.h"
#include "quillpost/submission.h"
#include "submission_state.h"

namespace quillpost {

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
  const message::MessageSummary summary = message::Summarise(sendable);
  const std::string encoded = document::EncodeWholeMessage(sendable);
  // The summary only holds carriable text, so these cannot fail on a value.
  SetSubject(summary.subject);
  SetBody(summary.text);
  try {
    document::RequestWriter& request = *state_->document;
    if (!request.SetFirst(document::kWholeMessageTag, encoded)) {
      request.AppendAfterSections(document::kWholeMessageTag, encoded);
    }
  } catch (const document::DocumentError& error) {
    throw SubmissionError(Code::Internal, std::string(kOperation) + error.what());
  }
}

}  // namespace quillpost
