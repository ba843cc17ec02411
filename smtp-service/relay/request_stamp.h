#pragma once

// What the relay adds to a request document and keeps in it across tries: the
// request's id, its Message-ID, its submission time and its count of tries.
// They stand in a "Relay" element of their own, so that they travel wherever
// the document goes (retry queues, deferral, the dead-letter queue and back).

#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace quillpost::relay {

inline constexpr std::string_view kStampTag = "Relay";
inline constexpr std::string_view kQueueIdTag = "QUEUE-ID";
inline constexpr std::string_view kMessageIdTag = "MESSAGE-ID";
inline constexpr std::string_view kSubmittedTag = "SUBMITTED";
inline constexpr std::string_view kTriesTag = "TRIES";

struct RequestStamp {
  std::string queueId;    // 16 hex digits; the request's name in the logs
  std::string messageId;  // "<queueId.quillpost@domain>"
  std::chrono::system_clock::time_point submitted;
  int tries = 0;  // tries made before this one
};

// Reads the stamp of document, completing what is missing or unusable (a
// first sight: a new id and Message-ID, now as the submission time), and
// rewrites document when something was added. Empty, with document
// unchanged, when it does not parse.
std::optional<RequestStamp> StampRequest(std::string& document,
                                         std::chrono::system_clock::time_point now);

// The stamp as it stands in document; empty when there is none or the
// document does not parse.
std::optional<RequestStamp> ReadStamp(const std::string& document);

// Writes tries into document's stamp. False when the document does not parse.
bool SetTries(std::string& document, int tries);

// Removes every TO element whose text is not in keep. False when the document
// does not parse.
bool KeepRecipients(std::string& document, const std::set<std::string>& keep);

}  // namespace quillpost::relay
