#include "quillpost/submission.h"

#include <string>
#include <utility>

#include "document/request_format.h"
#include "document/request_writer.h"
#include "submission_state.h"

namespace quillpost {
namespace {

using Code = SubmissionError::Code;
using Section = document::RequestWriter::Section;

[[noreturn]] void Fail(Code code, std::string_view operation, const std::string& what) {
  throw SubmissionError(code, std::string(operation) + ": " + what);
}

document::RequestWriter& RequireRequest(detail::SubmissionState& state,
                                        std::string_view operation) {
  if (!state.document) {
    Fail(Code::NoRequest, operation, "no request under way; call Initialise first");
  }
  return *state.document;
}

// The argument's text. The document checks the characters when it stores it.
const std::string& TextOf(const Value& value, std::string_view operation,
                          std::string_view argument) {
  if (!value.HasText()) {
    Fail(Code::NoTextForm, operation, std::string(argument) + " has no text form (a null string)");
  }
  return value.Text();
}

// The argument's text, checked up front that the document can carry it.
const std::string& CheckedTextOf(const Value& value, std::string_view operation,
                                 std::string_view argument) {
  const std::string& text = TextOf(value, operation, argument);
  try {
    document::CheckValue(text);
  } catch (const document::InvalidValue& error) {
    Fail(Code::InvalidValue, operation, std::string(argument) + ": " + error.what());
  }
  return text;
}

// Runs a change of the document, turning a document failure into the
// operation's error.
template <typename Change>
void ChangeDocument(std::string_view operation, Change&& change) {
  try {
    std::forward<Change>(change)();
  } catch (const document::InvalidValue& error) {
    Fail(Code::InvalidValue, operation, error.what());
  } catch (const document::DocumentError& error) {
    Fail(Code::Internal, operation, error.what());
  }
}

void ReplaceFirst(document::RequestWriter& request, std::string_view tag, std::string_view text,
                  std::string_view operation) {
  if (!request.SetFirst(tag, text)) {
    Fail(Code::Internal, operation, "the request lost its " + std::string(tag) + " element");
  }
}

// SetBody and SetSubject: the first call appends the element, later calls
// replace its text.
void SetSingle(detail::SubmissionState& state, bool& isSet, std::string_view tag,
               const Value& value, std::string_view operation, std::string_view argument) {
  document::RequestWriter& request = RequireRequest(state, operation);
  const std::string& text = TextOf(value, operation, argument);
  ChangeDocument(operation, [&] {
    if (isSet) {
      ReplaceFirst(request, tag, text, operation);
    } else {
      request.Append(Section::Message, tag, text);
      isSet = true;
    }
  });
}

}  // namespace

SubmissionError::SubmissionError(Code code, const std::string& message)
    : std::runtime_error(message), code_(code) {}

SubmissionError::~SubmissionError() = default;

Submission::Submission() : state_(std::make_unique<detail::SubmissionState>()) {}

Submission::~Submission() = default;

void Submission::Initialise() {
  try {
    // The writer starts as the empty root with its three sections.
    state_->document.emplace();
  } catch (const document::DocumentError& error) {
    Fail(Code::Internal, "Initialise", error.what());
  }
  state_->fromSet = false;
  state_->wholeMessageSet = false;
  state_->bodySet = false;
  state_->subjectSet = false;
  state_->recipientCount = 0;
}

void Submission::Finalise() {
  state_->document.reset();
}

void Submission::SetFrom(const Value& address, const Value& fullname) {
  constexpr std::string_view kOperation = "SetFrom";
  document::RequestWriter& request = RequireRequest(*state_, kOperation);
  // Both values are checked before either is stored, so the sender's address
  // and name are never left half replaced.
  const std::string& addressText = CheckedTextOf(address, kOperation, "address");
  const std::string& nameText = CheckedTextOf(fullname, kOperation, "fullname");
  ChangeDocument(kOperation, [&] {
    if (state_->fromSet) {
      ReplaceFirst(request, document::kFromTag, addressText, kOperation);
      ReplaceFirst(request, document::kFromNameTag, nameText, kOperation);
    } else {
      request.Append(Section::Routing, document::kFromTag, addressText);
      request.Append(Section::Routing, document::kFromNameTag, nameText);
      state_->fromSet = true;
    }
  });
}

void Submission::AddRecipient(const Value& recipient) {
  constexpr std::string_view kOperation = "AddRecipient";
  document::RequestWriter& request = RequireRequest(*state_, kOperation);
  const std::string& text = TextOf(recipient, kOperation, "recipient");
  ChangeDocument(kOperation, [&] { request.Append(Section::Routing, document::kToTag, text); });
  if (state_->recipientCount == kMaxRecipients) {
    Fail(Code::TooManyRecipients, kOperation,
         "the request already holds " + std::to_string(kMaxRecipients) + " recipients");
  }
  ++state_->recipientCount;
}

void Submission::SetBody(const Value& body) {
  SetSingle(*state_, state_->bodySet, document::kBodyTag, body, "SetBody", "body");
}

void Submission::SetSubject(const Value& subject) {
  SetSingle(*state_, state_->subjectSet, document::kSubjectTag, subject, "SetSubject", "subject");
}

void Submission::AddAttachment(const Value& path) {
  constexpr std::string_view kOperation = "AddAttachment";
  document::RequestWriter& request = RequireRequest(*state_, kOperation);
  const std::string& text = TextOf(path, kOperation, "path");
  ChangeDocument(kOperation,
                 [&] { request.Append(Section::Attachments, document::kFileTag, text); });
}

std::string Submission::DocumentText() const {
  if (!state_->document) {
    Fail(Code::NoRequest, "DocumentText", "no request under way; call Initialise first");
  }
  return state_->document->Serialize();
}

bool Submission::HasRequest() const {
  return state_->document.has_value();
}

int Submission::RecipientCount() const {
  return state_->recipientCount;
}

}  // namespace quillpost
