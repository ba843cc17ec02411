// Delivery status notifications: the sender of a mail hears which recipients
// the relay gave up on. The notice goes on the inbound queue as a whole
// message with the null sender, so it is kept and retried like any mail, and
// since a mail with the null sender never causes a notice, a notice that
// fails causes none either.

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <random>

#include "document/request_rewrite.h"
#include "document/request_writer.h"
#include "document/whole_message.h"
#include "mail/message_builder.h"
#include "relay/current_failure.h"
#include "relay/retry_label.h"
#include "relay/status.h"

namespace quillpost::relay {
namespace {

namespace doc = quillpost::document;

std::string HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
    return "localhost";
  }
  return name;
}

std::string NewNoticeId() {
  std::random_device random;
  char text[17] = {};
  std::snprintf(text, sizeof text, "%08X%08X", random(), random());
  return text;
}

// The original as its recipients got it: the whole message as submitted, or
// the one the relay writes from the request's values (without the
// attachments' contents).
std::string OriginalOf(const doc::RequestReader& request, const RequestIdentity& identity,
                       const std::string& domain) {
  // A request read from its store a piece at a time holds its whole message
  // there, not here: the notice then carries the message made of the
  // request's values (its subject and text).
  const std::vector<std::string> held = request.All(doc::kWholeMessageTag);
  if (!held.empty() && !held.front().empty()) {
    if (std::optional<std::string> whole = doc::ReadWholeMessage(request)) {
      return std::move(*whole);
    }
  }
  smtp::MessageContent content;
  content.senderAddress = request.First(doc::kFromTag);
  content.senderName = request.First(doc::kFromNameTag);
  content.recipients = request.All(doc::kToTag);
  content.subject = request.First(doc::kSubjectTag);
  content.body = request.First(doc::kBodyTag);
  content.mailer = std::string(kMailerIdentification);
  content.messageIdDomain = domain;
  content.messageId = identity.messageId;
  smtp::MessageText text = smtp::BuildMessage(content, identity.submitted);
  std::string out(text.Size(), '\0');
  std::size_t at = 0;
  while (at < out.size()) {
    const std::size_t read = text.Read(out.data() + at, out.size() - at);
    if (read == 0) {
      break;
    }
    at += read;
  }
  out.resize(at);
  return out;
}

}  // namespace

smtp::NoticeRecipient Status::NoticeRecipientOf(const std::string& to,
                                                const std::string& fallbackStatus) const {
  // A recipient refused on its own has its own reply; otherwise the try's.
  std::string reply = current_.replyCode != 0 ? current_.detail : std::string();
  for (const smtp::SendFailure& refusal : current_.refused) {
    if (refusal.what() == to && refusal.ReplyCode() != 0) {
      reply = ReplyOf(refusal);
    }
  }
  return {to, smtp::EnhancedStatus(reply, fallbackStatus), reply,
          reply.empty() ? current_.detail : std::string()};
}

void Status::NoteGivenUp(const std::string& status) {
  for (const std::string& to : current_.to) {
    current_.givenUp.push_back(NoticeRecipientOf(to, "5.0.0"));
    if (!status.empty()) {
      current_.givenUp.back().status = status;
    }
  }
}

std::string Status::SendNotice(const std::string& body) {
  std::vector<smtp::NoticeRecipient> givenUp = std::move(current_.givenUp);
  current_.givenUp.clear();
  if (givenUp.empty() || !settings_.notifyFailure) {
    return {};
  }
  try {
    return QueueNotice(doc::RequestReader(body), "failed", std::move(givenUp));
  } catch (...) {
    WriteLog("Unable to queue delivery status notification", NoticeFailureData());
    return {};
  }
}

std::string Status::WarnOfDelay(const std::string& document) {
  current_.delayNotice.clear();
  if (!settings_.notifyDelay || !current_.identity ||
      std::chrono::system_clock::now() - current_.identity->submitted <
          settings_.delayWarningTime) {
    return document;
  }
  try {
    const doc::RequestReader request(document);
    if (request.RelayDelayNoticeSent()) {
      return document;
    }
    std::vector<smtp::NoticeRecipient> late;
    for (const std::string& to : current_.to) {
      late.push_back(NoticeRecipientOf(to, "4.0.0"));
    }
    current_.delayNotice = QueueNotice(request, "delayed", std::move(late));
    if (current_.delayNotice.empty()) {
      return document;
    }
    document::RequestChanges changes;
    changes.tries = request.RelayTries().value_or(0);
    changes.delayNoticeSent = true;
    return document::RewriteRequest(request, changes);
  } catch (...) {
    WriteLog("Unable to queue delivery status notification", NoticeFailureData());
    return document;
  }
}

std::string Status::NoticeFailureData() const {
  return "Id=" + (current_.identity ? current_.identity->queueId : std::string("NOQUEUE")) +
         ", Error=" + CurrentFailure();
}

std::string Status::QueueNotice(const document::RequestReader& request, const std::string& action,
                                std::vector<smtp::NoticeRecipient> recipients) {
  const std::string sender = request.First(doc::kFromTag);
  if (sender.empty() || recipients.empty() || !current_.identity) {
    return {};  // the null sender: a notice itself, or a mail that wants none
  }
  const std::string host =
      settings_.connection.ehloName.empty() ? HostName() : settings_.connection.ehloName;
  const std::string& from = settings_.notifyFrom;
  smtp::NoticeContent notice;
  notice.host = host;
  notice.fromAddress = from.find('@') != std::string::npos ? from
                       : from.empty()                      ? "MAILER-DAEMON@" + host
                                                           : "MAILER-DAEMON@" + from;
  notice.to = sender;
  const std::string relay = RelayName();
  notice.remoteMta = relay.substr(0, relay.rfind(':'));
  notice.action = action;
  notice.arrival = current_.identity->submitted;
  notice.date = std::chrono::system_clock::now();
  const std::string id = NewNoticeId();
  notice.messageId = "<" + id + ".notice@" + host + ">";
  notice.recipients = std::move(recipients);
  notice.original = OriginalOf(request, *current_.identity, host);
  notice.returnFull = settings_.notifyReturnFull;
  const std::string text = smtp::BuildDeliveryNotice(notice);

  doc::RequestWriter writer;
  using Section = doc::RequestWriter::Section;
  writer.Append(Section::Routing, doc::kFromTag, "");
  writer.Append(Section::Routing, doc::kFromNameTag, "Mail Delivery System");
  std::vector<std::string> to = {sender};
  if (!settings_.notifyCopyTo.empty()) {
    to.push_back(settings_.notifyCopyTo);
  }
  for (const std::string& one : to) {
    writer.Append(Section::Routing, doc::kToTag, one);
  }
  writer.Append(Section::Message, doc::kSubjectTag, smtp::NoticeSubject(action));
  writer.Append(Section::Message, doc::kBodyTag,
                "Delivery status notification for " + current_.identity->queueId);
  writer.AppendAfterSections(doc::kWholeMessageTag, doc::EncodeWholeMessage(text));
  parts_.queues.Send(InboundQueueName, queue::Message{std::string(kInboundLabel),
                                                      writer.Serialize(), kRequestPriority});

  maillog::Outcome queued;
  queued.queueId = id;
  queued.to = to;
  queued.relay = "none";
  queued.status = maillog::Status::Queued;
  queued.detail = "delivery status notification (" + action + ") for " + current_.identity->queueId;
  maillog::Write(queued);
  observer_->NoticeSent();
  return id;
}

}  // namespace quillpost::relay
