#pragma once

// Values shown on the status list and the headless status lines are cut to a
// length a person can read; a request may carry megabytes in one field.

#include <cstddef>
#include <string>
#include <string_view>

namespace quillpost::relay {

inline constexpr std::size_t kMaxViewValueBytes = 1000;
inline constexpr std::string_view kCutMarker = " [...]";

// value, or its first kMaxViewValueBytes bytes (never ending inside a UTF-8
// character) followed by kCutMarker.
inline std::string ViewValue(std::string_view value) {
  if (value.size() <= kMaxViewValueBytes) {
    return std::string(value);
  }
  std::size_t end = kMaxViewValueBytes;
  while (end > 0 && (static_cast<unsigned char>(value[end]) & 0xC0U) == 0x80U) {
    --end;
  }
  return std::string(value.substr(0, end)) + std::string(kCutMarker);
}

}  // namespace quillpost::relay
