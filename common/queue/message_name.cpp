#include "queue/message_name.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace quillpost::queue {
namespace {

std::string Hex(std::uint64_t value) {
  char text[kMessageNameLength + 1] = {};
  std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(value));
  return text;
}

// splitmix64's finaliser: a bijection, so distinct numbers keep distinct names.
std::uint64_t Mix(std::uint64_t value) {
  value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ULL;
  value = (value ^ (value >> 27)) * 0x94D049BB133111EBULL;
  return value ^ (value >> 31);
}

bool IsHex(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

std::string StoreMessageName(std::uint64_t storeIdentity, std::int64_t id) {
  return Hex(Mix(static_cast<std::uint64_t>(id) ^ storeIdentity));
}

std::string BrokerMessageName(std::string_view messageId) {
  if (messageId.size() < kMessageNameLength ||
      !std::all_of(messageId.begin(), messageId.end(), IsHex)) {
    return {};
  }
  std::string name(messageId.substr(0, kMessageNameLength));
  std::transform(name.begin(), name.end(), name.begin(), [](char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  });
  return name;
}

bool LooksLikeMessageName(std::string_view text) {
  return text.size() == kMessageNameLength && std::all_of(text.begin(), text.end(), IsHex);
}

}  // namespace quillpost::queue
