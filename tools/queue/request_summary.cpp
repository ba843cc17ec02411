#include "request_summary.h"

#include <charconv>
#include <string_view>

#include "document/request_format.h"
#include "document/request_reader.h"

namespace quillpost::queue {
namespace {

// The labels the relay writes (see relay/retry_label.h); the queue tool does
// not link the relay.
constexpr std::string_view kRetryLabelPrefix = "Quillpost-Retry:";

std::string FirstOf(const document::RequestReader& reader, std::string_view tag) {
  std::vector<std::string> all = reader.All(tag);
  return all.empty() ? std::string() : std::move(all.front());
}

}  // namespace

RequestSummary SummarizeRequest(const std::string& body) {
  RequestSummary summary;
  try {
    const document::RequestReader reader(body);
    summary.sender = FirstOf(reader, document::kFromTag);
    summary.senderName = FirstOf(reader, document::kFromNameTag);
    summary.recipients = reader.All(document::kToTag);
    summary.subject = FirstOf(reader, document::kSubjectTag);
    summary.attachments = reader.All(document::kFileTag);
    summary.readable = true;
    summary.notice = summary.sender.empty();
  } catch (const document::DocumentError&) {
    // Shown as unreadable: a queue may carry anything.
  }
  return summary;
}

std::optional<int> TriesLeft(const std::string& label) {
  if (!label.starts_with(kRetryLabelPrefix)) {
    return std::nullopt;
  }
  const std::string_view digits = std::string_view(label).substr(kRetryLabelPrefix.size());
  int count = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
  if (error != std::errc() || end != digits.data() + digits.size()) {
    return 0;  // the relay gives up an unreadable count
  }
  return count < 0 ? 0 : count;
}

}  // namespace quillpost::queue
