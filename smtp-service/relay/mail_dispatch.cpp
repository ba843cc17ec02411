#include <algorithm>

#include "document/request_reader.h"
#include "document/whole_message.h"
#include "mail/server_list.h"
#include "relay/failure_table.h"
#include "relay/status.h"
#include "relay/view_text.h"

namespace quillpost::relay {

std::string Status::ReplyOf(const smtp::SendFailure& failure) {
  return std::to_string(failure.ReplyCode()) +
         (failure.ReplyText().empty() ? std::string() : " " + failure.ReplyText());
}

// The server's reply when there was one, else what went wrong here.
std::string Status::Detail(const smtp::SendFailure& failure) {
  return failure.ReplyCode() != 0 ? ReplyOf(failure) : failure.what();
}

std::string Status::DispatchMail(const std::string& document) {
  return DispatchRequest(document::RequestReader(document));
}

std::string Status::DispatchRequest(const document::RequestReader& request) {
  return DispatchPrepared(*PrepareMail(request));
}

std::string Status::DispatchPrepared(MailPort& mail) {
  std::exception_ptr failure;
  try {
    mail.Send();
  } catch (...) {
    failure = std::current_exception();
  }
  return ConcludeSend(mail, failure);
}

std::unique_ptr<MailPort> Status::PrepareMail(const document::RequestReader& request,
                                              std::unique_ptr<message::ByteSource> whole) {
  namespace doc = quillpost::document;
  // Lines of a request that turns out unreadable go out with the error.
  const struct FlushAtEnd {
    StatusView& view;
    ~FlushAtEnd() { view.Flush(); }
  } flush{*view_};
  std::unique_ptr<MailPort> mail = parts_.makeMail();
  mail->SetServer(SmtpServer);
  mail->SetConnectionSettings(settings_.connection);

  const auto first = [&request](std::string_view tag) { return request.First(tag); };

  view_->AppendLine("FROM: " + ViewValue(first(doc::kFromTag)));
  view_->AppendLine("NAME: " + ViewValue(first(doc::kFromNameTag)));
  mail->SetSenderAddress(first(doc::kFromTag));
  mail->SetSenderName(first(doc::kFromNameTag));
  current_.from = first(doc::kFromTag);
  current_.to = request.All(doc::kToTag);
  current_.delivered.clear();
  for (std::string to : current_.to) {
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
  if (whole) {
    mail->SetWholeMessageSource(std::move(whole));
  } else if (std::optional<std::string> held = doc::ReadWholeMessage(request)) {
    mail->SetWholeMessage(std::move(*held));
  }
  view_->AppendLine("SENT");
  view_->Flush();
  mail->SetMailerIdentification(std::string(kMailerIdentification));
  // The same Message-ID and Date on every try, so that a receiver can tell a
  // second delivery for what it is.
  if (current_.identity) {
    mail->SetMessageIdentity(current_.identity->messageId, current_.identity->submitted);
  }
  return mail;
}

std::string Status::ConcludeSend(MailPort& mail, const std::exception_ptr& failure) {
  try {
    if (failure) {
      std::rethrow_exception(failure);
    }
  } catch (const smtp::SendFailure& refusal) {
    current_.serverUsed = mail.ServerUsed();
    // Every recipient refused: each keeps its own reply, as when only some are.
    if (std::vector<smtp::SendFailure> refused = mail.RefusedRecipients();
        refusal.Number() == smtp::failure::kRecipientRefused && !refused.empty()) {
      NoteRefusedRecipients(std::move(refused));
    } else {
      NoteSendFailure(refusal);
    }
    return "ERR";
  }
  current_.serverUsed = mail.ServerUsed();
  // The server has the mail: a problem after that is worth a line, never a
  // second delivery.
  if (const auto warning = mail.Warning()) {
    const LogEntry entry = DescribeSendFailure(warning->Number());
    WriteLog(entry.message, entry.data);
  }
  current_.delivered = current_.to;
  current_.detail = "delivered to " + RelayName();
  // Some recipients refused while the others got the mail: only the refused
  // ones stay to be tried again.
  std::vector<smtp::SendFailure> refused = mail.RefusedRecipients();
  if (refused.empty()) {
    current_.to.clear();
    return "OK";
  }
  for (const smtp::SendFailure& one : refused) {
    std::erase(current_.delivered, std::string(one.what()));
  }
  NoteRefusedRecipients(std::move(refused));
  return "ERR";
}

void Status::NoteRefusedRecipients(std::vector<smtp::SendFailure> refused) {
  current_.to.clear();
  for (const smtp::SendFailure& one : refused) {
    current_.to.emplace_back(one.what());
  }
  NoteSendFailure(smtp::SendFailure(smtp::failure::kRecipientRefused, RefusalsText(refused)));
  current_.replyCode = MildestReply(refused);
  current_.refused = std::move(refused);
}

std::string Status::RefusalsText(const std::vector<smtp::SendFailure>& refused) {
  std::string text;
  for (const smtp::SendFailure& one : refused) {
    text += (text.empty() ? "" : "; ") + std::string(one.what()) + ": " + Detail(one);
  }
  return text;
}

int Status::MildestReply(const std::vector<smtp::SendFailure>& refused) {
  int mildest = 599;
  for (const smtp::SendFailure& one : refused) {
    mildest = std::min(mildest, one.ReplyCode());
  }
  return mildest;
}

void Status::NoteSendFailure(const smtp::SendFailure& failure) {
  current_.number = failure.Number();
  observer_->SendFailed(current_.number);
  current_.replyCode = failure.ReplyCode();
  current_.detail = Detail(failure);
  const LogEntry entry = DescribeSendFailure(failure.Number());
  // A listed failure's data names the request, the relay and the reply; an
  // unlisted one's data stays its number.
  WriteLog(entry.message, entry.data.empty() ? FailureData() : entry.data);
}

std::string Status::RelayName() const {
  std::string host = SmtpServer;
  int port = settings_.connection.port;
  if (!current_.serverUsed.empty()) {
    host = current_.serverUsed;
    try {
      const std::vector<smtp::ServerAddress> used = smtp::ParseServerList(current_.serverUsed);
      if (used.size() == 1) {
        host = used.front().host.find(':') != std::string::npos ? "[" + used.front().host + "]"
                                                                : used.front().host;
        port = used.front().port.value_or(port);
      }
    } catch (const smtp::SendFailure&) {
      return current_.serverUsed;  // named as the list has it
    }
  }
  return host + ":" + std::to_string(port);
}

std::string Status::FailureData() const {
  std::string data;
  if (current_.identity) {
    data = "Id=" + current_.identity->queueId + ", ";
  }
  return data + "Relay=" + RelayName() + ", Reply=" + current_.detail;
}

}  // namespace quillpost::relay
