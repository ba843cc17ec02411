#include "message_report.h"

#include <algorithm>
#include <chrono>
#include <iomanip>
#include <vector>

#include "activitylog/log_entry.h"
#include "message_times.h"
#include "queue/admin/queue_admin.h"
#include "queue/path_name.h"
#include "request_summary.h"

namespace quillpost::queue {
namespace {

constexpr const char* kNothing = "—";

// Everything shown comes from whoever could write to a queue: escaped as the
// activity log escapes, so that no line break or terminal control reaches
// the terminal.
std::string Shown(const std::string& text) {
  return text.empty() ? kNothing : activitylog::EscapeForLog(text);
}

std::string ShownList(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) {
    text += (text.empty() ? "" : ", ") + activitylog::EscapeForLog(item);
  }
  return text.empty() ? kNothing : text;
}

void Field(std::ostream& out, const char* name, const std::string& value) {
  out << std::left << std::setw(14) << (std::string(name) + ":") << value << '\n';
}

std::string TriesLeftText(const std::string& label) {
  const std::optional<int> tries = TriesLeft(label);
  if (!tries) {
    return "all, from the relay's inbound queue (a new request)";
  }
  return *tries > 0 ? std::to_string(*tries)
                    : "0 (tried again at growing intervals until it is too old)";
}

constexpr int kIdWidth = 10;
constexpr int kSizeWidth = 8;
constexpr int kTimeWidth = 20;
constexpr int kRecipientColumn = kIdWidth + 1 + 1 + kSizeWidth + 1 + kTimeWidth + 1;

void WriteMailqEntry(std::ostream& out, const PeekedMessage& message) {
  const RequestSummary request = SummarizeRequest(message.body);
  // '*': a relay is working on it right now.
  out << std::left << std::setw(kIdWidth) << (message.id.empty() ? "-" : message.id)
      << (message.inHand ? '*' : ' ') << ' ' << std::right << std::setw(kSizeWidth) << message.size
      << ' ' << std::left << std::setw(kTimeWidth)
      << (Known(message.arrived) ? MailqTimeText(message.arrived) : "-") << ' '
      << (request.readable ? activitylog::EscapeForLog(request.sender)
                           : std::string("(not a mail request)"))
      << '\n';
  for (const std::string& recipient : request.recipients) {
    out << std::string(kRecipientColumn, ' ') << activitylog::EscapeForLog(recipient) << '\n';
  }
  if (!message.lastFailure.empty()) {
    out << std::string(kRecipientColumn, ' ') << "  ("
        << activitylog::EscapeForLog(message.lastFailure) << ")\n";
  }
}

}  // namespace

void WriteMessageReport(std::ostream& out, const LocatedMessage& located) {
  const PeekedMessage& message = located.message;
  const auto now = std::chrono::system_clock::now();
  const RequestSummary request = SummarizeRequest(message.body);
  Field(out, "id", message.id);
  Field(out, "queue", Shown(located.queue));
  Field(out, "label", Shown(message.label));
  Field(out, "priority", std::to_string(message.priority));
  Field(out, "state", message.inHand ? "in hand (a relay is working on it)" : "waiting");
  Field(out, "size", std::to_string(message.size) + " bytes");
  Field(out, "arrived",
        Known(message.arrived)
            ? UtcText(message.arrived) + " (age " + AgeText(message.arrived, now) + ")"
            : kNothing);
  Field(out, "tries left", TriesLeftText(message.label));
  Field(out, "next try", message.notBefore > now ? UtcText(message.notBefore) : "when taken");
  if (!request.readable) {
    Field(out, "request", "(the body is not a mail request)");
  } else {
    Field(out, "sender",
          request.senderName.empty()
              ? Shown(request.sender)
              : Shown(request.senderName) + " <" + Shown(request.sender) + ">");
    Field(out, "recipients", ShownList(request.recipients));
    Field(out, "subject", Shown(request.subject));
    Field(out, "attachments", ShownList(request.attachments));
    Field(out, "relay id", Shown(request.relayId));
  }
  Field(out, "last failure", Shown(message.lastFailure));
}

void WriteMailq(std::ostream& out, const std::string& storeName) {
  std::vector<PeekedMessage> messages;
  for (const QueueInfo& queue : ListQueues(storeName)) {
    for (PeekedMessage& message : PeekQueue(QueuePathIn(storeName, queue.name), true)) {
      messages.push_back(std::move(message));
    }
  }
  // In the order they came, whatever queue they are on now: ids are numbers
  // in a store (and empty on a broker, whose messages keep their queues'
  // order).
  std::stable_sort(messages.begin(), messages.end(),
                   [](const PeekedMessage& a, const PeekedMessage& b) {
                     return a.id.size() != b.id.size() ? a.id.size() < b.id.size() : a.id < b.id;
                   });
  if (messages.empty()) {
    out << "Mail queue is empty\n";
    return;
  }
  out << "-Queue ID-  --Size-- ----Arrival Time---- -Sender/Recipient-------\n";
  std::size_t bytes = 0;
  for (const PeekedMessage& message : messages) {
    WriteMailqEntry(out, message);
    out << '\n';
    bytes += message.size;
  }
  out << "-- " << (bytes + 1023) / 1024 << " Kbytes in " << messages.size() << " Request"
      << (messages.size() == 1 ? "" : "s") << ".\n";
}

}  // namespace quillpost::queue
