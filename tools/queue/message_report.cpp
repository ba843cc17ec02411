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

std::string TriesLeftText(const std::string& queue, const std::string& label) {
  if (queue == kRelayDeadLetterQueue) {
    return "none: a dead letter (retry ID gives it a new round)";
  }
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

// '*': a relay is working on it right now; '!': a dead letter, which no
// relay takes up again unless it is retried.
char Mark(const LocatedMessage& located) {
  if (located.message.inHand) {
    return '*';
  }
  return located.queue == kRelayDeadLetterQueue ? '!' : ' ';
}

void WriteMailqEntry(std::ostream& out, const LocatedMessage& located) {
  const PeekedMessage& message = located.message;
  const RequestSummary request = SummarizeRequest(message.body);
  out << std::left << std::setw(kIdWidth + 1)
      << (message.id.empty() ? std::string("-") : message.id) + Mark(located) << ' ' << std::right
      << std::setw(kSizeWidth) << message.size << ' ' << std::left << std::setw(kTimeWidth)
      << (Known(message.arrived) ? MailqTimeText(message.arrived) : "-") << ' '
      << (message.bodyLeftOut ? std::string("(too large to read)")
          : !request.readable ? std::string("(not a mail request)")
          : request.notice    ? std::string("MAILER-DAEMON")
                              : activitylog::EscapeForLog(request.sender))
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
  Field(out, "tries left", TriesLeftText(located.queue, message.label));
  Field(out, "next try", message.notBefore > now ? UtcText(message.notBefore) : "when taken");
  if (message.bodyLeftOut) {
    Field(out, "request",
          "(not read: larger than the " + std::to_string(kMaxReceivedBodyBytes) +
              " bytes a receiver reads)");
  } else if (!request.readable) {
    Field(out, "request", "(the body is not a mail request)");
  } else {
    Field(out, "sender",
          request.notice ? "<> (a delivery status notification from the relay)"
          : request.senderName.empty()
              ? Shown(request.sender)
              : Shown(request.senderName) + " <" + Shown(request.sender) + ">");
    Field(out, "recipients", ShownList(request.recipients));
    Field(out, "subject", Shown(request.subject));
    Field(out, "attachments", ShownList(request.attachments));
  }
  Field(out, "relay id", message.name.empty() ? kNothing : message.name);
  Field(out, "last failure", Shown(message.lastFailure));
}

void WriteMailq(std::ostream& out, const std::string& storeName) {
  std::vector<LocatedMessage> messages;
  for (const QueueInfo& queue : ListQueues(storeName)) {
    for (PeekedMessage& message : PeekQueue(QueuePathIn(storeName, queue.name), true)) {
      messages.push_back({queue.name, std::move(message)});
    }
  }
  // In a store, in the order they came, whatever queue they are on now (its
  // ids are numbers); a broker's ids say nothing of order, so its messages
  // stay in their queues' order.
  const auto number = [](const LocatedMessage& located) {
    const std::string& id = located.message.id;
    return !id.empty() &&
           std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (std::all_of(messages.begin(), messages.end(), number)) {
    std::sort(messages.begin(), messages.end(),
              [](const LocatedMessage& a, const LocatedMessage& b) {
                const std::string& x = a.message.id;
                const std::string& y = b.message.id;
                return x.size() != y.size() ? x.size() < y.size() : x < y;
              });
  }
  if (messages.empty()) {
    out << "Mail queue is empty\n";
    return;
  }
  out << "-Queue ID-  --Size-- ----Arrival Time---- -Sender/Recipient-------\n";
  std::size_t bytes = 0;
  for (const LocatedMessage& located : messages) {
    WriteMailqEntry(out, located);
    out << '\n';
    bytes += located.message.size;
  }
  out << "-- " << (bytes + 1023) / 1024 << " Kbytes in " << messages.size() << " Request"
      << (messages.size() == 1 ? "" : "s") << ".\n";
}

}  // namespace quillpost::queue
