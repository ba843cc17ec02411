#include "relay/request_identity.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace quillpost::relay {
namespace {

// More tries than any allowance and deferral could make; a larger count was
// written by someone else.
constexpr int kMostTries = 1'000'000;

// A message from a backend that gives no names (a broker message sent before
// names): named after its body, which stays the same from try to try.
std::string NameOfBody(const std::string& body) {
  std::uint64_t hash = 0xCBF29CE484222325ULL;  // FNV-1a
  for (const char c : body) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001B3ULL;
  }
  char text[17] = {};
  std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(hash));
  return text;
}

std::string MessageIdDomain(const document::RequestReader* request) {
  std::string domain;
  if (request != nullptr) {
    const std::vector<std::string> from = request->All(document::kFromTag);
    const std::size_t at = from.empty() ? std::string::npos : from.front().rfind('@');
    if (at != std::string::npos) {
      domain = from.front().substr(at + 1);
    }
  }
  const bool fits = std::all_of(domain.begin(), domain.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.';
  });
  return domain.empty() || !fits ? std::string("quillpost.localhost") : domain;
}

}  // namespace

RequestIdentity IdentifyRequest(const queue::ReceivedMessage& message,
                                const document::RequestReader* request,
                                std::chrono::system_clock::time_point now) {
  RequestIdentity identity;
  identity.queueId = message.Name().empty() ? NameOfBody(message.Body()) : message.Name();
  identity.messageId = "<" + identity.queueId + ".quillpost@" + MessageIdDomain(request) + ">";
  // An arrival that is not known, or that a wrong clock put in the future,
  // counts as now: a mail never carries a Date after it was sent, and its
  // time in the queue is never negative.
  const auto arrived = message.Arrived();
  identity.submitted = arrived.time_since_epoch().count() > 0 && arrived <= now ? arrived : now;
  if (request != nullptr) {
    identity.tries = std::min(request->RelayTries().value_or(0), kMostTries);
  }
  return identity;
}

}  // namespace quillpost::relay
