#pragma once

// One outgoing e-mail handed to an SMTP relay host. The setters only record;
// every check happens in Send, which either returns (the relay host accepted
// the mail) or throws SendFailure carrying a failure number.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "message/byte_source.h"

namespace quillpost::smtp {

// Failure numbers that the relay maps to its log messages. Failures outside
// this list carry the server's reply code, or a number listed in docs/smtp.md.
namespace failure {
inline constexpr int kHostNotFound = 1;
inline constexpr int kNoConnection = 10;
inline constexpr int kNotListening = 20;
inline constexpr int kSenderRefused = 30;
inline constexpr int kRecipientRefused = 40;
inline constexpr int kDataRefused = 50;
inline constexpr int kTimedOutReceiving = 60;
inline constexpr int kSessionNotEnded = 70;
inline constexpr int kAttachmentMissing = 100;
inline constexpr int kAttachmentUnreadable = 101;
inline constexpr int kRecipientInvalid = 200;

// Failures that come without a server reply code (see docs/smtp.md).
inline constexpr int kSettingsUnusable = 900;    // the connection settings cannot be used
inline constexpr int kTlsFailed = 901;           // TLS could not be set up
inline constexpr int kCertificateRefused = 902;  // the server's certificate was not trusted
inline constexpr int kTlsUnavailable = 903;      // TLS required, the server offers no STARTTLS
inline constexpr int kAuthenticationUnavailable = 904;  // no usable AUTH mechanism
inline constexpr int kOutOfMemory = 905;
inline constexpr int kCaFileUnreadable = 906;
inline constexpr int kConnectionLost = 907;  // the server went away at no stage named above
inline constexpr int kLineTooLong = 908;     // a whole message holds a line over 998 octets
inline constexpr int kAuthenticationImpossible = 909;  // a user is set, the server offers no AUTH
inline constexpr int kMessageUnsendable = 910;  // a whole message is empty or holds a NUL byte
inline constexpr int kInternal = 999;           // any other failure of the SMTP client itself
}  // namespace failure

enum class Security {
  None,                 // plain SMTP
  StartTlsWhenOffered,  // upgrade with STARTTLS when the server offers it
  StartTlsRequired,     // refuse to go on without STARTTLS
  Tls,                  // TLS from the first byte (usually port 465)
};

// Which files may go out as attachments, checked before the first byte of any
// of them is read. A file that breaks a rule fails the mail with
// kAttachmentUnreadable.
struct AttachmentRules {
  // Largest total size of a mail's attachment files.
  std::uint64_t maxTotalSize = std::uint64_t{25} * 1024 * 1024;
  // Set: a file must lie inside one of these folders once symbolic links are
  // resolved. Unset: any file the process can read.
  std::optional<std::vector<std::string>> roots;
  // Files and folders that never go out (the caller's own config, password
  // and store), whatever the roots say.
  std::vector<std::string> forbidden;
  // Non-empty: every attachment is refused, for this reason.
  std::string refusal;

  bool operator==(const AttachmentRules&) const = default;
};

enum class AuthMethod {
  Password,     // libcurl's SASL picks a mechanism for user and password
  XOAuth2,      // AUTH XOAUTH2 with a bearer token from tokenCommand
  OAuthBearer,  // AUTH OAUTHBEARER (RFC 7628) with that token
};

struct ConnectionSettings {
  int port = 25;
  Security security = Security::StartTlsWhenOffered;
  bool verifyCertificate = true;  // turning it off is logged by the caller
  std::string caFile;             // empty: the system's trust store
  std::string user;               // empty: no AUTH
  std::string password;
  bool allowPlainTextAuth = false;  // AUTH over a connection without TLS
  AuthMethod authMethod = AuthMethod::Password;
  // XOAuth2, OAuthBearer: the command (argv, no shell) that prints the token.
  std::vector<std::string> tokenCommand;
  std::chrono::seconds tokenCommandTimeout{30};
  // How long the relay uses a token before it runs the command again; zero:
  // once for every connection. A refused token is dropped at once.
  std::chrono::seconds tokenLifetime{300};
  std::string ehloName;  // empty: this host's name
  std::chrono::seconds connectTimeout{30};
  std::chrono::seconds replyTimeout{60};
  // How long a session may wait unused for the next mail to the same host;
  // zero ends the session after every mail.
  std::chrono::seconds idleSessionTimeout{30};
  AttachmentRules attachments;

  bool operator==(const ConnectionSettings&) const = default;
};

class SendFailure : public std::runtime_error {
 public:
  SendFailure(int number, const std::string& what, int replyCode = 0, std::string replyText = {})
      : std::runtime_error(what),
        number_(number),
        replyCode_(replyCode),
        replyText_(std::move(replyText)) {}

  int Number() const { return number_; }
  // The server's reply code and text, when the failure came with one.
  int ReplyCode() const { return replyCode_; }
  const std::string& ReplyText() const { return replyText_; }

 private:
  int number_;
  int replyCode_;
  std::string replyText_;
};

class OutgoingMail {
 public:
  OutgoingMail();
  ~OutgoingMail();
  OutgoingMail(const OutgoingMail&) = delete;
  OutgoingMail& operator=(const OutgoingMail&) = delete;

  // One host, or several ("host[:port]" separated by commas or blanks): a
  // host that cannot be reached, refuses the greeting or never gives it
  // passes the mail to the next one.
  void SetServer(std::string host);
  void SetConnectionSettings(ConnectionSettings settings);
  void SetSenderAddress(std::string address);
  void SetSenderName(std::string name);
  // The second argument is accepted and ignored.
  void AddRecipient(std::string address, std::optional<std::string> unused = std::nullopt);
  void SetSubject(std::string subject);
  void SetBody(std::string body);
  // The two further arguments are accepted and ignored.
  void AddAttachment(std::string path, std::optional<std::string> unused1 = std::nullopt,
                     std::optional<std::string> unused2 = std::nullopt);
  void SetMailerIdentification(std::string text);
  // A complete RFC 5322 message to send as it is (see mail/whole_message.h)
  // instead of one built from the subject, body and attachments.
  void SetWholeMessage(std::string message);
  // The same for a message too large to hold in memory, read from message
  // as it is sent (mail/whole_message.h); Send takes it, once.
  void SetWholeMessage(std::unique_ptr<message::ByteSource> message);
  // The Message-ID and Date of the mail; without them Send makes a new
  // Message-ID and takes the time of sending.
  void SetMessageIdentity(std::string messageId, std::chrono::system_clock::time_point date);

  // Hands the mail to the server. Throws SendFailure when the server did not
  // accept it. A problem after the server accepted the mail does not throw; it
  // is left in Warning() (number 70).
  void Send();

  const std::optional<SendFailure>& Warning() const { return warning_; }
  // The list item of the host that answered last in Send: the one that took
  // the mail, or the one whose failure Send threw.
  const std::string& ServerUsed() const { return serverUsed_; }
  // After Send: recipients the server refused, each with the reply code and
  // text of its refusal; when it refused them all, Send threw failure 40 and
  // this still names each with its own reply.
  const std::vector<SendFailure>& RefusedRecipients() const { return refused_; }

 private:
  std::string server_;
  ConnectionSettings settings_;
  std::string senderAddress_;
  std::string senderName_;
  std::vector<std::string> recipients_;
  std::string subject_;
  std::string body_;
  std::vector<std::string> attachments_;
  std::string mailerIdentification_;
  std::optional<std::string> wholeMessage_;
  std::unique_ptr<message::ByteSource> wholeSource_;
  bool wholeSourceSet_ = false;  // kept once Send took the source
  std::optional<SendFailure> warning_;
  std::string serverUsed_;
  std::vector<SendFailure> refused_;
  std::string messageId_;
  std::optional<std::chrono::system_clock::time_point> date_;
};

}  // namespace quillpost::smtp
