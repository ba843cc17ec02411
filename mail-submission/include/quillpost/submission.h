#pragma once

// The submission library's C++ interface (C++20; C programs use
// quillpost/mailer.h). An application builds one mail
// request with a Submission and puts it on the relay's inbound queue:
//
//   quillpost::Submission mail;
//   mail.Initialise();
//   mail.SetFrom("reports@example.org", "Nightly Reports");
//   mail.AddRecipient("team@example.org");
//   mail.SetSubject("Monthly figures");
//   mail.SetBody("See the attached figures.");
//   mail.AddAttachment("/srv/reports/figures.xls");
//   if (mail.Send("kvr_mailer") != quillpost::kAnswerOk) { ... }
//
// Calling order: Initialise first; then the setters in any order and as often
// as wanted (the order of the calls is the order of the elements in the
// request); then Send, as often as wanted; then Finalise or a new Initialise.
//
// Threads: one Submission is used by one thread at a time; it takes no locks.
// Separate Submission objects share nothing and may be used by different
// threads at the same time.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "quillpost/mailer_export.h"
#include "quillpost/value.h"

namespace quillpost {

namespace detail {
struct SubmissionState;
}  // namespace detail

// The answers of Submission::Send. Callers compare with kAnswerOk exactly.
inline constexpr std::string_view kAnswerOk = "OK";
inline constexpr std::string_view kAnswerNoRecipients = "ERR - No recipients specified.";
inline constexpr std::string_view kAnswerNoFrom = "ERR - No from name or address specified.";
inline constexpr std::string_view kAnswerNoSubject = "ERR - No subject set for message.";
inline constexpr std::string_view kAnswerNoBody = "ERR - No message set!";
inline constexpr std::string_view kAnswerInternalError =
    "ERR - Internal error sending message to MSMQ";

// The queue the relay listens on for new requests.
inline constexpr std::string_view kInboundQueueName = "kvr_mailer";

// The most recipients one request can hold.
inline constexpr int kMaxRecipients = 32767;

// The largest request document (and so the largest body) a queue in a store
// takes; a queue on a broker takes kMaxBrokerDocumentBytes. Only a request
// that carries a whole message (SetMessage) may be larger than
// kMaxPlainDocumentBytes: the relay reads other requests whole into memory.
inline constexpr std::size_t kMaxDocumentBytes = std::size_t{64} * 1024 * 1024;
inline constexpr std::size_t kMaxBrokerDocumentBytes = std::size_t{4} * 1024 * 1024;
inline constexpr std::size_t kMaxPlainDocumentBytes = std::size_t{4} * 1024 * 1024;

// The largest whole message SetMessage takes unless SetMaxMessageSize says
// otherwise (25 MiB, what the large providers take), and the highest limit
// that can be set (what a queue in a store can carry in base64).
inline constexpr std::size_t kDefaultMaxMessageSize = std::size_t{25} * 1024 * 1024;
inline constexpr std::size_t kMaxMessageSizeLimit = std::size_t{40} * 1024 * 1024;

// Raised by the builder operations. Whatever the operation did before the
// failure stays done; see each operation for what that can be.
class MAILER_API SubmissionError : public std::runtime_error {
 public:
  enum class Code {
    NoRequest,          // no Initialise yet, or Finalise since
    NoTextForm,         // an argument with no text form (a null const char*)
    InvalidValue,       // a value holding characters a request cannot carry
    TooManyRecipients,  // the request already holds kMaxRecipients recipients
    Internal,           // any other failure inside the library
    TooLarge,           // a whole message larger than the limit (SetMaxMessageSize)
  };

  SubmissionError(Code code, const std::string& message);
  SubmissionError(const SubmissionError&) = default;
  SubmissionError& operator=(const SubmissionError&) = default;
  ~SubmissionError() override;

  Code ErrorCode() const { return code_; }

 private:
  Code code_;
};

class MAILER_API Submission {
 public:
  // A new object holds no request: the setters fail until Initialise.
  Submission();
  ~Submission();
  Submission(const Submission&) = delete;
  Submission& operator=(const Submission&) = delete;
  Submission(Submission&&) = delete;
  Submission& operator=(Submission&&) = delete;

  // Starts a new, empty request; a request under way is discarded.
  void Initialise();

  // Lets go of the request. Until the next Initialise the setters fail, and
  // Send answers as the finished request's checks give, or kAnswerInternalError
  // when they pass (there is nothing left to send).
  void Finalise();

  // Sets the sender's address and display name; a later call replaces both.
  // Both values are checked before anything changes, so a failing call leaves
  // the sender as it was.
  void SetFrom(const Value& address, const Value& fullname);

  // Adds one recipient. Same address twice gives two recipients. When the
  // request already holds kMaxRecipients recipients, the address is still
  // added to the request but not counted, and TooManyRecipients is raised.
  void AddRecipient(const Value& recipient);

  // Sets the body text; a later call replaces it.
  void SetBody(const Value& body);

  // Sets the subject line; a later call replaces it.
  void SetSubject(const Value& subject);

  // Adds the path of one file to attach. The path is stored as given; the relay
  // reads the file when it sends the mail, from its own working directory, so
  // give absolute paths.
  void AddAttachment(const Value& path);

  // Carries a complete RFC 5322 message (headers, MIME structure and body as
  // the application built them) for the relay to send as it is. The envelope
  // is the request's own: the sender set with SetFrom and the recipients added
  // with AddRecipient; the message's To, Cc and Bcc fields add no recipient.
  // Every line end (CR LF, a lone LF, a lone CR) becomes CR LF, and the
  // message's Bcc and Resent-Bcc fields are removed. The relay adds Date and
  // Message-ID when the message has none.
  // The subject and the body are set from the message's Subject and text part
  // (as SetSubject and SetBody would), so that the request's status lines show
  // them and a relay that does not know whole messages still sends a readable
  // mail. A later call replaces the message; attachments are not sent with it.
  // Throws SubmissionError: NoRequest, NoTextForm, InvalidValue (the message
  // is empty, or holds nothing but Bcc fields, a NUL byte or a line longer
  // than 998 octets), TooLarge (the message, its lines ended in CR LF and its
  // Bcc fields removed, is larger than the limit), Internal.
  // A request carrying a message of 25 MiB takes about 34 MiB on the queue:
  // a queue in a store takes it, a queue on a broker only a request of up to
  // kMaxBrokerDocumentBytes, and Send answers kAnswerInternalError for a
  // larger one (LastSendFailure says why).
  void SetMessage(const Value& message);

  // The largest message SetMessage takes, in octets: kDefaultMaxMessageSize
  // until set, at most kMaxMessageSizeLimit. Kept by Initialise and Finalise.
  // Throws SubmissionError (InvalidValue) for 0 or a size past the limit,
  // and changes nothing then.
  void SetMaxMessageSize(std::size_t octets);
  std::size_t MaxMessageSize() const;

  // Checks the request and puts it, as it now stands, on the queue named by
  // queuePathName as one message labelled "Quillpost-Inbound" at priority 7.
  // Answers kAnswerOk or one of the other kAnswer texts; the checks come in the
  // order recipients, sender, subject, body. A failure against the queue answers
  // kAnswerInternalError and adds one entry to the application event log.
  // The answer is a static text. Never throws.
  std::string_view Send(const Value& queuePathName) const noexcept;

  // Why the last Send answered kAnswerInternalError, for a person to read
  // (for example "there is no queue 'kvr_mailer' in store /srv/quillpost", a
  // store that stayed locked by another process, a full disk); empty after any
  // other answer and before the first Send.
  std::string LastSendFailure() const;

  // The request as the one-line document Send would put on the queue.
  // Throws SubmissionError (NoRequest) when there is no request.
  std::string DocumentText() const;

  // True between Initialise and Finalise.
  bool HasRequest() const;

  // Recipients counted since the last Initialise (at most kMaxRecipients).
  int RecipientCount() const;

  // The largest request document the queue named by queuePathName takes:
  // kMaxDocumentBytes in a store, kMaxBrokerDocumentBytes on a broker. Told
  // from the name alone; connects to nothing.
  static std::size_t MaxDocumentBytesFor(std::string_view queuePathName);

 private:
  std::unique_ptr<detail::SubmissionState> state_;
};

}  // namespace quillpost
