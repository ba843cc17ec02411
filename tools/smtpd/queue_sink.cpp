#include "queue_sink.h"

#include <iostream>

#include "quillpost/submission.h"
#include "smtpd_settings.h"

namespace quillpost::smtpd {
namespace {

static_assert(smtpd::kDefaultMaxMessageSize == quillpost::kDefaultMaxMessageSize);
static_assert(smtpd::kLargestMaxMessageSize == quillpost::kMaxMessageSizeLimit);

SinkReply Refused(int code, std::string enhanced, std::string text) {
  return {code, std::move(enhanced), std::move(text), false};
}

// Why the queue refused, for the operator; one write, so lines of several
// sessions never mix.
void ReportFailure(const std::string& id, const std::string& why) {
  const std::string line = "quillpost-smtpd: message " + id + " not queued: " + why + "\n";
  std::cerr.write(line.data(), static_cast<std::streamsize>(line.size())).flush();
}

}  // namespace

SinkReply QueueSink::Queue(const Envelope& envelope, const std::string& message,
                           const std::string& id) {
  Submission mail;
  try {
    // The session holds the message to max_message_size; the trace field
    // it put in front may take it a little past that.
    mail.SetMaxMessageSize(kMaxMessageSizeLimit);
    mail.Initialise();
    mail.SetFrom(envelope.sender, "");
    for (const std::string& recipient : envelope.recipients) {
      mail.AddRecipient(recipient);
    }
    mail.SetMessage(message);
  } catch (const SubmissionError& error) {
    if (error.ErrorCode() == SubmissionError::Code::TooLarge) {
      return Refused(552, "5.3.4", std::string("Message too large: ") + error.what());
    }
    if (error.ErrorCode() == SubmissionError::Code::InvalidValue) {
      return Refused(554, "5.6.0", std::string("Message refused: ") + error.what());
    }
    ReportFailure(id, error.what());
    return Refused(451, "4.3.0", "Local error while queueing the message; try again later");
  }
  // The request carries the message in base64 and at most a part of its
  // text once more, so only a message past half of the queue's limit can
  // exceed it.
  if (const std::size_t limit = Submission::MaxDocumentBytesFor(queuePathName_);
      message.size() > limit / 2) {
    if (const std::size_t size = mail.DocumentText().size(); size > limit) {
      return Refused(552, "5.3.4",
                     "Message too large for the queue: it takes " + std::to_string(size) +
                         " octets there, the limit is " + std::to_string(limit));
    }
  }
  if (mail.Send(queuePathName_) == kAnswerOk) {
    return {250, "2.0.0", "Ok: queued as " + id, true};
  }
  const std::string why = mail.LastSendFailure();
  ReportFailure(id, why);
  if (why.find("disk is full") != std::string::npos) {
    return Refused(452, "4.3.1", "Insufficient system storage: the queue is full; try again later");
  }
  return Refused(451, "4.3.0", "The queue cannot take the message now; try again later");
}

}  // namespace quillpost::smtpd
