#pragma once

// What an administrator wants to see of the request a queue message carries:
// read from the request document, and from the label the relay writes.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillpost::queue {

// The relay's names, as it uses them unless configured otherwise: where
// retry sends a message (labelled as a new request, so that it gets a whole
// new round of tries), and where the relay puts what it gave up.
inline constexpr std::string_view kRelayInboundQueue = "kvr_mailer";
inline constexpr std::string_view kRelayDeadLetterQueue = "kvr_mailer_dead";
inline constexpr std::string_view kNewRequestLabel = "Quillpost-Inbound";

struct RequestSummary {
  bool readable = false;  // false: the body is not a request document
  std::string sender;
  std::string senderName;
  std::vector<std::string> recipients;
  std::string subject;
  std::vector<std::string> attachments;
  // A delivery status notification the relay wrote: the null sender, which
  // nothing else may send with.
  bool notice = false;
};

RequestSummary SummarizeRequest(const std::string& body);

// The tries the relay still gives the message, from its label: the count of
// a retry label; std::nullopt for a new request, which has the relay's
// whole allowance (its first try and every retry).
std::optional<int> TriesLeft(const std::string& label);

}  // namespace quillpost::queue
