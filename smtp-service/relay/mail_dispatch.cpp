#include "document/request_reader.h"
#include "document/whole_message.h"
#include "relay/failure_table.h"
#include "relay/status.h"
#include "relay/view_text.h"

namespace quillpost::relay {

std::string Status::DispatchMail(const std::string& document) {
  namespace doc = quillpost::document;
  const doc::RequestReader request(document);
  const std::unique_ptr<MailPort> mail = parts_.makeMail();
  mail->SetServer(SmtpServer);
  mail->SetConnectionSettings(settings_.connection);

  const auto first = [&request](std::string_view tag) { return request.First(tag); };

  view_->AppendLine("FROM: " + ViewValue(first(doc::kFromTag)));
  view_->AppendLine("NAME: " + ViewValue(first(doc::kFromNameTag)));
  mail->SetSenderAddress(first(doc::kFromTag));
  mail->SetSenderName(first(doc::kFromNameTag));
  for (std::string& to : request.All(doc::kToTag)) {
    view_->AppendLine("TO: " + ViewValue(to));
    mail->AddRecipient(std::move(to));
  }
  view_->AppendLine("SUBJ: " + ViewValue(first(doc::kSubjectTag)));
  view_->AppendLine("BODY: " + ViewValue(first(doc::kBodyTag)));
  mail->SetSubject(first(doc::kSubjectTag));
  mail->SetBody(first(doc::kBodyTag));
  for (std::string& file : request.All(doc::kFileTag)) {
    view_->AppendLine("FILE: " + ViewValue(file));
    mail->AddAttachment(std::move(file));
  }
  if (std::optional<std::string> whole = doc::ReadWholeMessage(request)) {
    mail->SetWholeMessage(std::move(*whole));
  }
  view_->AppendLine("SENT");
  mail->SetMailerIdentification(std::string(kMailerIdentification));

  try {
    mail->Send();
  } catch (const smtp::SendFailure& failure) {
    const LogEntry entry = DescribeSendFailure(failure.Number());
    WriteLog(entry.message, entry.data);
    return "ERR";
  }
  // The server has the mail: a problem after that is worth a line, never a
  // second delivery.
  if (const auto warning = mail->Warning()) {
    const LogEntry entry = DescribeSendFailure(warning->Number());
    WriteLog(entry.message, entry.data);
  }
  return "OK";
}

}  // namespace quillpost::relay
