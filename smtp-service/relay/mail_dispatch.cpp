#include <algorithm>

#include "document/request_reader.h"
#include "document/whole_message.h"
#include "mail/server_list.h"
#include "relay/failure_table.h"
#include "relay/request_stamp.h"
#include "relay/status.h"
#include "relay/view_text.h"

namespace quillpost::relay {
namespace {

// The server's reply when there was one, else what went wrong here.
std::string DetailOf(const smtp::SendFailure& failure) {
  if (failure.ReplyCode() != 0) {
    return std::to_string(failure.ReplyCode()) +
           (failure.ReplyText().empty() ? std::string() : " " + failure.ReplyText());
  }
  return failure.what();
}

}  // namespace

std::string Status::DispatchMail(const std::string& document) {
  namespace doc = quillpost::document;
  // Lines of a request that turns out unreadable go out with the error.
  const struct FlushAtEnd {
    StatusView& view;
    ~FlushAtEnd() { view.Flush(); }
  } flush{*view_};
  const doc::RequestReader request(document);
  const std::unique_ptr<MailPort> mail = parts_.makeMail();
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
  if (std::optional<std::string> whole = doc::ReadWholeMessage(request)) {
    mail->SetWholeMessage(std::move(*whole));
  }
  view_->AppendLine("SENT");
  view_->Flush();
  mail->SetMailerIdentification(std::string(kMailerIdentification));
  // The same Message-ID and Date on every try, so that a receiver can tell a
  // second delivery for what it is.
  if (const std::optional<RequestStamp>& stamp = current_.stamp;
      stamp && !stamp->messageId.empty()) {
    mail->SetMessageIdentity(stamp->messageId, stamp->submitted);
  }

  try {
    mail->Send();
  } catch (const smtp::SendFailure& failure) {
    current_.serverUsed = mail->ServerUsed();
    NoteSendFailure(failure);
    return "ERR";
  }
  current_.serverUsed = mail->ServerUsed();
  // The server has the mail: a problem after that is worth a line, never a
  // second delivery.
  if (const auto warning = mail->Warning()) {
    const LogEntry entry = DescribeSendFailure(warning->Number());
    WriteLog(entry.message, entry.data);
  }
  current_.delivered = current_.to;
  current_.to.clear();
  current_.detail = "delivered to " + RelayName();
  // Some recipients refused while the others got the mail: only the refused
  // ones stay to be tried again.
  const std::vector<smtp::SendFailure> refused = mail->RefusedRecipients();
  if (refused.empty()) {
    return "OK";
  }
  std::string refusals;
  int mildest = 599;
  for (const smtp::SendFailure& one : refused) {
    current_.to.emplace_back(one.what());
    std::erase(current_.delivered, std::string(one.what()));
    refusals += (refusals.empty() ? "" : "; ") + std::string(one.what()) + ": " + DetailOf(one);
    mildest = std::min(mildest, one.ReplyCode());
  }
  NoteSendFailure(smtp::SendFailure(smtp::failure::kRecipientRefused, refusals));
  // Any refusal that may pass keeps the refused recipients in the queue.
  current_.replyCode = mildest;
  return "ERR";
}

void Status::NoteSendFailure(const smtp::SendFailure& failure) {
  current_.number = failure.Number();
  observer_->SendFailed(current_.number);
  current_.replyCode = failure.ReplyCode();
  current_.detail = DetailOf(failure);
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
  if (current_.stamp) {
    data = "Id=" + current_.stamp->queueId + ", ";
  }
  return data + "Relay=" + RelayName() + ", Reply=" + current_.detail;
}

}  // namespace quillpost::relay
