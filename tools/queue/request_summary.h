#pragma once

// What an administrator wants to see of the request a queue message carries:
// read from the request document, and from the label the relay writes.

#include <optional>
#include <string>
#include <vector>

namespace quillpost::queue {

struct RequestSummary {
  bool readable = false;  // false: the body is not a request document
  std::string sender;
  std::string senderName;
  std::vector<std::string> recipients;
  std::string subject;
  std::vector<std::string> attachments;
  std::string relayId;  // the relay's name for it in its logs, once it has seen it
};

RequestSummary SummarizeRequest(const std::string& body);

// The tries the relay still gives the message, from its label: the count of
// a retry label; std::nullopt for a new request, which has the relay's
// whole allowance (its first try and every retry).
std::optional<int> TriesLeft(const std::string& label);

}  // namespace quillpost::queue
