#include "mail/outgoing_mail.h"

#include <new>

#include "mail/attachment_file.h"
#include "mail/message_builder.h"
#include "mail/server_list.h"
#include "mail/session_cache.h"
#include "mail/smtp_session.h"
#include "mail/whole_message.h"
#include "message/address_syntax.h"

namespace quillpost::smtp {

using message::DomainOf;
using message::IsSafeSenderAddress;
using message::IsValidEhloName;
using message::IsValidRecipientAddress;
namespace {

std::string MessageIdDomain(const std::string& senderAddress, const ConnectionSettings& settings) {
  const std::string_view domain = DomainOf(senderAddress);
  if (!domain.empty() && IsValidEhloName(domain) && domain.front() != '[') {
    return std::string(domain);
  }
  if (!settings.ehloName.empty() && settings.ehloName.front() != '[') {
    return settings.ehloName;
  }
  return "quillpost.localhost";
}

// nullSenderAllowed: a whole message may go with the null sender (MAIL
// FROM:<>), as a delivery status notification must.
void CheckAddresses(const std::string& sender, const std::vector<std::string>& recipients,
                    bool nullSenderAllowed) {
  if (recipients.empty()) {
    throw SendFailure(failure::kRecipientInvalid, "the mail has no recipient");
  }
  for (const std::string& recipient : recipients) {
    if (!IsValidRecipientAddress(recipient)) {
      throw SendFailure(failure::kRecipientInvalid,
                        "\"" + recipient + "\" is not a valid recipient address");
    }
  }
  if (sender.empty() && nullSenderAllowed) {
    return;
  }
  if (!IsSafeSenderAddress(sender)) {
    throw SendFailure(failure::kSenderRefused,
                      sender.empty() ? std::string("the sender address is empty")
                                     : "\"" + sender + "\" cannot be used as sender address");
  }
}

// The host did not take part in the mail (not found, no connection, a
// greeting refused, 4xx included, or never given): the next host may have it.
bool NoneOfTheMailWentOut(int number) {
  return number == failure::kHostNotFound || number == failure::kNoConnection ||
         number == failure::kNotListening;
}

}  // namespace

OutgoingMail::OutgoingMail() = default;
OutgoingMail::~OutgoingMail() = default;

void OutgoingMail::SetServer(std::string host) {
  server_ = std::move(host);
}
void OutgoingMail::SetConnectionSettings(ConnectionSettings settings) {
  settings_ = std::move(settings);
}
void OutgoingMail::SetSenderAddress(std::string address) {
  senderAddress_ = std::move(address);
}
void OutgoingMail::SetSenderName(std::string name) {
  senderName_ = std::move(name);
}
// The optional arguments are taken by value as the interface declares them.
// NOLINTBEGIN(performance-unnecessary-value-param)
void OutgoingMail::AddRecipient(std::string address, std::optional<std::string> /*unused*/) {
  recipients_.push_back(std::move(address));
}
void OutgoingMail::SetSubject(std::string subject) {
  subject_ = std::move(subject);
}
void OutgoingMail::SetBody(std::string body) {
  body_ = std::move(body);
}
void OutgoingMail::AddAttachment(std::string path, std::optional<std::string> /*unused1*/,
                                 std::optional<std::string> /*unused2*/) {
  attachments_.push_back(std::move(path));
}
// NOLINTEND(performance-unnecessary-value-param)
void OutgoingMail::SetMailerIdentification(std::string text) {
  mailerIdentification_ = std::move(text);
}

void OutgoingMail::SetWholeMessage(std::string message) {
  wholeMessage_ = std::move(message);
  wholeSource_.reset();
  wholeSourceSet_ = false;
}

void OutgoingMail::SetWholeMessage(std::unique_ptr<message::ByteSource> message) {
  wholeSource_ = std::move(message);
  wholeSourceSet_ = true;
  wholeMessage_.reset();
}

void OutgoingMail::SetMessageIdentity(std::string messageId,
                                      std::chrono::system_clock::time_point date) {
  messageId_ = std::move(messageId);
  date_ = date;
}

void OutgoingMail::Send() {
  warning_.reset();
  serverUsed_.clear();
  refused_.clear();
  try {
    // Everything that can be checked here is checked before connecting.
    if (wholeSourceSet_ && !wholeSource_) {
      throw SendFailure(failure::kInternal, "the whole message was taken by an earlier send");
    }
    const bool whole = wholeMessage_ || wholeSource_;
    CheckAddresses(senderAddress_, recipients_, whole);
    MessageContent content;
    if (!whole) {  // a whole message carries its own attachments
      content.attachments = OpenAttachments(attachments_, settings_.attachments);
    }
    const std::vector<ServerAddress> servers = ParseServerList(server_);
    content.senderAddress = senderAddress_;
    content.senderName = senderName_;
    content.recipients = recipients_;
    content.subject = subject_;
    content.body = body_;
    content.mailer = mailerIdentification_;
    content.messageIdDomain = MessageIdDomain(senderAddress_, settings_);
    content.messageId = messageId_;
    const std::chrono::system_clock::time_point date =
        date_.value_or(std::chrono::system_clock::now());
    MessageText message =
        wholeSource_ ? PrepareWholeMessage(std::move(wholeSource_), content.messageIdDomain, date,
                                           messageId_)
        : wholeMessage_ ? MessageText(PrepareWholeMessage(*wholeMessage_, content.messageIdDomain,
                                                          date, messageId_))
                        : BuildMessage(content, date);
    content = MessageContent{};  // the message holds the attachments' files now

    const Envelope envelope{senderAddress_, recipients_};
    DeliveryOutcome outcome;
    for (const ServerAddress& server : servers) {
      serverUsed_ = server.item;
      ConnectionSettings settings = settings_;
      settings.port = server.port.value_or(settings.port);
      if (settings.idleSessionTimeout.count() > 0) {
        outcome =
            SessionCache::Process().SessionFor(server.host, settings).Deliver(envelope, message);
      } else {
        SmtpSession session(server.host, settings);
        outcome = session.Deliver(envelope, message);
      }
      if (!outcome.failure || !NoneOfTheMailWentOut(outcome.failure->Number())) {
        break;
      }
    }
    for (const auto& [recipient, reply] : outcome.refused) {
      refused_.emplace_back(failure::kRecipientRefused, recipient, reply.code, reply.text);
    }
    if (outcome.failure) {
      throw *outcome.failure;
    }
    warning_ = std::move(outcome.warning);
  } catch (const std::bad_alloc&) {
    throw SendFailure(failure::kOutOfMemory, "out of memory");
  }
}

}  // namespace quillpost::smtp
