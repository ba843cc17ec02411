#include <string>

#include "document/request_format.h"
#include "document/whole_message.h"
#include "message/header_fields.h"
#include "message/message_summary.h"
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
  const std::string& given = message.Text();
  if (given.empty()) {
    throw SubmissionError(Code::InvalidValue, std::string(kOperation) + "the message is empty");
  }
  if (const std::size_t line = message::FirstLongLine(given); line != 0) {
    throw SubmissionError(Code::InvalidValue,
                          std::string(kOperation) + "line " + std::to_string(line) +
                              " of the message is longer than " +
                              std::to_string(message::kMaxLineLength) + " characters");
  }
  const message::MessageSummary summary = message::Summarise(given);
  const std::string encoded = document::EncodeWholeMessage(message::WithoutBcc(given));
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
