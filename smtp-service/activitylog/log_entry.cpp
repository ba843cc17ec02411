#include "activitylog/log_entry.h"

#include <array>
#include <cstdint>
#include <cstdio>

#include "document/utf8.h"

namespace quillpost::activitylog {

namespace {

void AppendHex(std::string& out, unsigned char byte) {
  std::array<char, 5> hex{};
  std::snprintf(hex.data(), hex.size(), "\\x%02X", static_cast<unsigned>(byte));
  out += hex.data();
}

}  // namespace

std::string EscapeForLog(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const char c = text[pos];
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      std::uint32_t codePoint = 0;
      const std::size_t length = document::DecodeUtf8(text, pos, codePoint);
      if (length == 0 || codePoint <= 0x9F) {
        AppendHex(escaped, byte);  // not UTF-8, or a C1 control a terminal would obey
        ++pos;
      } else {
        escaped.append(text.substr(pos, length));
        pos += length;
      }
      continue;
    }
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
          AppendHex(escaped, byte);
        } else {
          escaped += c;
        }
    }
    ++pos;
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
