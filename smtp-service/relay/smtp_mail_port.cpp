#include <utility>

#include "relay/mail_port.h"

namespace quillpost::relay {
namespace {

class SmtpMailPort final : public MailPort {
 public:
  void SetServer(std::string host) override { mail_.SetServer(std::move(host)); }
  void SetConnectionSettings(smtp::ConnectionSettings settings) override {
    mail_.SetConnectionSettings(std::move(settings));
  }
  void SetSenderAddress(std::string address) override {
    mail_.SetSenderAddress(std::move(address));
  }
  void SetSenderName(std::string name) override { mail_.SetSenderName(std::move(name)); }
  void AddRecipient(std::string address) override { mail_.AddRecipient(std::move(address)); }
  void SetSubject(std::string subject) override { mail_.SetSubject(std::move(subject)); }
  void SetBody(std::string body) override { mail_.SetBody(std::move(body)); }
  void AddAttachment(std::string path) override { mail_.AddAttachment(std::move(path)); }
  void SetMailerIdentification(std::string text) override {
    mail_.SetMailerIdentification(std::move(text));
  }
  void SetWholeMessage(std::string message) override { mail_.SetWholeMessage(std::move(message)); }
  void SetWholeMessageSource(std::unique_ptr<message::ByteSource> message) override {
    mail_.SetWholeMessage(std::move(message));
  }
  void Send() override { mail_.Send(); }
  std::optional<smtp::SendFailure> Warning() const override { return mail_.Warning(); }
  std::string ServerUsed() const override { return mail_.ServerUsed(); }
  void SetMessageIdentity(std::string messageId,
                          std::chrono::system_clock::time_point date) override {
    mail_.SetMessageIdentity(std::move(messageId), date);
  }
  std::vector<smtp::SendFailure> RefusedRecipients() const override {
    return mail_.RefusedRecipients();
  }

 private:
  smtp::OutgoingMail mail_;
};

}  // namespace

MailFactory SmtpMailFactory() {
  return [] { return std::make_unique<SmtpMailPort>(); };
}

}  // namespace quillpost::relay
