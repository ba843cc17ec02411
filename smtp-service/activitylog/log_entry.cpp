#include "activitylog/log_entry.h"

#include <array>
#include <cstdio>

namespace quillpost::activitylog {

std::string EscapeForLog(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\\':
        escaped += "\\\\";
        break;
      case '\r':
        escaped += "\\r";
        break;
      case '\n':
        escaped += "\\n";
        break;
      case '\t':
        escaped += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          std::array<char, 5> hex{};
          std::snprintf(hex.data(), hex.size(), "\\x%02X", static_cast<unsigned>(byte));
          escaped += hex.data();
        } else {
          escaped += c;
        }
    }
  }
  return escaped;
}

std::string FormatLocalTime(std::time_t when) {
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr) {
    return "?";
  }
  std::array<char, 128> buffer{};
  const std::size_t length = std::strftime(buffer.data(), buffer.size(), "%x %X", &local);
  return {buffer.data(), length};
}

std::string FormatEntry(std::time_t when, std::string_view message, std::string_view data) {
  std::string line = FormatLocalTime(when);
  line += " - ";
  line += EscapeForLog(message);
  line += " - ";
  line += EscapeForLog(data);
  line += "\r\n";
  return line;
}

}  // namespace quillpost::activitylog
