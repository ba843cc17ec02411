#include "message_json.h"

#include <chrono>
#include <nlohmann/json.hpp>

#include "message_times.h"
#include "request_summary.h"

namespace quillpost::queue {
namespace {

using nlohmann::json;

json TimeOrNull(TimePoint when) {
  return Known(when) ? json(IsoText(when)) : json(nullptr);
}

json TextOrNull(const std::string& text) {
  return text.empty() ? json(nullptr) : json(text);
}

// Bodies and failures may hold any bytes: invalid UTF-8 is replaced, never a
// reason to fail.
std::string Dump(const json& value) {
  return value.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

json MessageFields(const PeekedMessage& message) {
  const TimePoint now = std::chrono::system_clock::now();
  json fields;
  fields["id"] = message.id;
  fields["label"] = message.label;
  fields["priority"] = message.priority;
  fields["size"] = message.size;
  fields["state"] = message.inHand ? "in hand" : "waiting";
  fields["arrived"] = TimeOrNull(message.arrived);
  fields["age_seconds"] =
      Known(message.arrived)
          ? json(std::chrono::floor<std::chrono::seconds>(now - message.arrived).count())
          : json(nullptr);
  fields["next_try"] = message.notBefore > now ? json(IsoText(message.notBefore)) : json(nullptr);
  fields["last_failure"] = TextOrNull(message.lastFailure);
  return fields;
}

}  // namespace

std::string ListJson(const std::string& store, const std::vector<QueueInfo>& queues) {
  json list = json::array();
  for (const QueueInfo& queue : queues) {
    list.push_back({{"name", queue.name}, {"waiting", queue.waiting}, {"in_hand", queue.inHand}});
  }
  return Dump({{"store", store}, {"queues", std::move(list)}});
}

std::string PeekJson(const std::string& queue, const std::vector<PeekedMessage>& messages,
                     bool withBodies) {
  json list = json::array();
  for (const PeekedMessage& message : messages) {
    json fields = MessageFields(message);
    if (withBodies) {
      fields["body"] = message.bodyLeftOut ? json(nullptr) : json(message.body);
    }
    list.push_back(std::move(fields));
  }
  return Dump({{"queue", queue}, {"messages", std::move(list)}});
}

std::string ShowJson(const LocatedMessage& located) {
  const PeekedMessage& message = located.message;
  json fields = MessageFields(message);
  fields["queue"] = located.queue;
  const std::optional<int> tries = TriesLeft(message.label);
  fields["tries_left"] = tries ? json(*tries) : json(nullptr);
  const RequestSummary request = SummarizeRequest(message.body);
  fields["readable"] = request.readable;
  fields["sender"] = request.sender;
  fields["notice"] = request.notice;
  fields["sender_name"] = request.senderName;
  fields["recipients"] = request.recipients;
  fields["subject"] = request.subject;
  fields["attachments"] = request.attachments;
  fields["relay_id"] = TextOrNull(message.name);
  return Dump(fields);
}

}  // namespace quillpost::queue
