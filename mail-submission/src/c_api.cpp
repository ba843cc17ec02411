#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "quillpost/mailer.h"
#include "quillpost/submission.h"
#include "send_failure.h"

struct mailer_submission {
  quillpost::Submission submission;
  std::string lastError;
};

namespace {

using quillpost::SubmissionError;

constexpr const char* kNoHandleMessage = "no submission handle (NULL)";

mailer_status StatusOf(SubmissionError::Code code) {
  switch (code) {
    case SubmissionError::Code::NoRequest:
      return MAILER_ERROR_NO_REQUEST;
    case SubmissionError::Code::NoTextForm:
      return MAILER_ERROR_NO_TEXT_FORM;
    case SubmissionError::Code::InvalidValue:
      return MAILER_ERROR_INVALID_VALUE;
    case SubmissionError::Code::TooManyRecipients:
      return MAILER_ERROR_TOO_MANY_RECIPIENTS;
    case SubmissionError::Code::TooLarge:
      return MAILER_ERROR_TOO_LARGE;
    case SubmissionError::Code::Internal:
      break;
  }
  return MAILER_ERROR_INTERNAL;
}

// Records the message of the failure for mailer_last_error. Storing it may
// itself run out of memory; the message is then left empty.
void Remember(mailer_submission& handle, const char* message) noexcept {
  try {
    handle.lastError = message;
  } catch (...) {
    handle.lastError.clear();
  }
}

// Runs one builder operation; no exception crosses into the caller's C code.
template <typename Operation>
mailer_status Run(mailer_submission* handle, Operation&& operation) noexcept {
  if (handle == nullptr) {
    return MAILER_ERROR_NO_HANDLE;
  }
  handle->lastError.clear();
  try {
    operation(handle->submission);
    return MAILER_OK;
  } catch (const SubmissionError& error) {
    Remember(*handle, error.what());
    return StatusOf(error.ErrorCode());
  } catch (const std::bad_alloc&) {
    Remember(*handle, "out of memory");
  } catch (const std::exception& error) {
    Remember(*handle, error.what());
  } catch (...) {
    Remember(*handle, "unknown failure");
  }
  return MAILER_ERROR_INTERNAL;
}

}  // namespace

extern "C" {

const char* mailer_version(void) {
  return "1.0.0";
}

mailer_submission* mailer_submission_new(void) {
  // NOLINTNEXTLINE(cppcoreguidelines-owning-memory): the C caller owns the handle.
  return new (std::nothrow) mailer_submission();
}

void mailer_submission_free(mailer_submission* submission) {
  // NOLINTNEXTLINE(cppcoreguidelines-owning-memory): ownership comes back from C.
  delete submission;
}

mailer_status mailer_initialise(mailer_submission* submission) {
  return Run(submission, [](quillpost::Submission& s) { s.Initialise(); });
}

mailer_status mailer_finalise(mailer_submission* submission) {
  return Run(submission, [](quillpost::Submission& s) { s.Finalise(); });
}

mailer_status mailer_set_from(mailer_submission* submission, const char* address,
                              const char* fullname) {
  return Run(submission, [&](quillpost::Submission& s) { s.SetFrom(address, fullname); });
}

mailer_status mailer_add_recipient(mailer_submission* submission, const char* recipient) {
  return Run(submission, [&](quillpost::Submission& s) { s.AddRecipient(recipient); });
}

mailer_status mailer_set_body(mailer_submission* submission, const char* body) {
  return Run(submission, [&](quillpost::Submission& s) { s.SetBody(body); });
}

mailer_status mailer_set_subject(mailer_submission* submission, const char* subject) {
  return Run(submission, [&](quillpost::Submission& s) { s.SetSubject(subject); });
}

mailer_status mailer_add_attachment(mailer_submission* submission, const char* path) {
  return Run(submission, [&](quillpost::Submission& s) { s.AddAttachment(path); });
}

mailer_status mailer_set_message(mailer_submission* submission, const char* message,
                                 size_t length) {
  return Run(submission, [&](quillpost::Submission& s) {
    if (message == nullptr) {
      s.SetMessage(static_cast<const char*>(nullptr));
    } else {
      s.SetMessage(std::string_view(message, length));
    }
  });
}

mailer_status mailer_set_max_message_size(mailer_submission* submission, size_t octets) {
  return Run(submission, [&](quillpost::Submission& s) { s.SetMaxMessageSize(octets); });
}

const char* mailer_send(const mailer_submission* submission, const char* queue_path_name) {
  std::string_view answer = quillpost::kAnswerInternalError;
  if (submission == nullptr) {
    quillpost::ReportSendFailure();
  } else {
    try {
      // Turning the name into a value copies it and may run out of memory.
      answer = submission->submission.Send(queue_path_name);
    } catch (...) {
      quillpost::ReportSendFailure();
    }
  }
  // Every answer is a NUL-terminated literal.
  return answer.data();
}

char* mailer_document_text(mailer_submission* submission) {
  std::string text;
  const mailer_status status =
      Run(submission, [&](quillpost::Submission& s) { text = s.DocumentText(); });
  if (status != MAILER_OK) {
    return nullptr;
  }
  // The C caller owns the copy and releases it with mailer_string_free.
  // NOLINTNEXTLINE(cppcoreguidelines-no-malloc,cppcoreguidelines-owning-memory)
  auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) {
    Remember(*submission, "out of memory");
    return nullptr;
  }
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

void mailer_string_free(char* text) {
  // Allocated by mailer_document_text.
  // NOLINTNEXTLINE(cppcoreguidelines-no-malloc,cppcoreguidelines-owning-memory)
  std::free(text);
}

const char* mailer_last_error(const mailer_submission* submission) {
  if (submission == nullptr) {
    return kNoHandleMessage;
  }
  return submission->lastError.c_str();
}

}  // extern "C"
