#pragma once

// The operations that mail dispatch uses on one outgoing mail. The production
// port wraps smtp::OutgoingMail; tests put a scripted one in its place.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mail/outgoing_mail.h"
#include "message/byte_source.h"

namespace quillpost::relay {

class MailPort {
 public:
  virtual ~MailPort() = default;

  virtual void SetServer(std::string host) = 0;
  virtual void SetConnectionSettings(smtp::ConnectionSettings settings) = 0;
  virtual void SetSenderAddress(std::string address) = 0;
  virtual void SetSenderName(std::string name) = 0;
  virtual void AddRecipient(std::string address) = 0;
  virtual void SetSubject(std::string subject) = 0;
  virtual void SetBody(std::string body) = 0;
  virtual void AddAttachment(std::string path) = 0;
  virtual void SetMailerIdentification(std::string text) = 0;
  // A complete message to send as it is instead of one built from the fields.
  virtual void SetWholeMessage(std::string message) = 0;
  // The same for a message too large to hold, read as it is sent. Ports
  // that only record what they are given read it whole.
  virtual void SetWholeMessageSource(std::unique_ptr<message::ByteSource> message) {
    std::string whole;
    std::string block(64 * 1024, '\0');
    while (const std::size_t got = message->Read(block.data(), block.size())) {
      whole.append(block, 0, got);
    }
    SetWholeMessage(std::move(whole));
  }

  // Throws smtp::SendFailure when the server did not accept the mail.
  virtual void Send() = 0;
  // A problem met after the server accepted the mail.
  virtual std::optional<smtp::SendFailure> Warning() const = 0;
  // The smarthost (an item of the server list) that answered last in Send.
  virtual std::string ServerUsed() const { return {}; }

  // The Message-ID and Date the mail keeps across tries.
  virtual void SetMessageIdentity(std::string /*messageId*/,
                                  std::chrono::system_clock::time_point /*date*/) {}
  // After Send: recipients the server refused (number 40, the address as
  // what(), the refusal's reply), also when it refused them all and Send threw.
  virtual std::vector<smtp::SendFailure> RefusedRecipients() const { return {}; }
};

// Makes a fresh mail object for each dispatch.
using MailFactory = std::function<std::unique_ptr<MailPort>()>;

// The factory of real SMTP mails.
MailFactory SmtpMailFactory();

}  // namespace quillpost::relay
