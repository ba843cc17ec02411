#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "document/request_format.h"

// What a value may hold: well-formed UTF-8 whose code points are all XML 1.0
// characters, i.e. tab, LF, CR, U+0020..U+D7FF, U+E000..U+FFFD and
// U+10000..U+10FFFF. Everything else (the other C0 controls, surrogates,
// U+FFFE, U+FFFF, overlong or truncated sequences, stray bytes) is refused,
// because no XML 1.0 reader could read the document back.

namespace quillpost::document {
namespace {

std::string Hex(std::uint32_t code_point) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "U+%04X", static_cast<unsigned>(code_point));
  return buffer;
}

[[noreturn]] void Refuse(const std::string& what, std::size_t offset) {
  throw InvalidValue("value cannot be carried in a request document: " + what + " at byte " +
                     std::to_string(offset));
}

bool IsXmlChar(std::uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Decodes the sequence starting at value[pos]; returns its length, or 0 when
// it is not well-formed UTF-8.
std::size_t DecodeUtf8(std::string_view value, std::size_t pos, std::uint32_t& code_point) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(value[i]); };
  const unsigned char lead = byte(pos);
  std::size_t length = 0;
  std::uint32_t minimum = 0;
  if (lead < 0x80) {
    code_point = lead;
    return 1;
  }
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code_point = lead & 0x1Fu;
    minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code_point = lead & 0x0Fu;
    minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code_point = lead & 0x07u;
    minimum = 0x10000;
  } else {
    return 0;
  }
  if (value.size() - pos < length) {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char next = byte(pos + i);
    if ((next & 0xC0u) != 0x80u) {
      return 0;
    }
    code_point = (code_point << 6) | (next & 0x3Fu);
  }
  if (code_point < minimum || code_point > 0x10FFFF ||
      (code_point >= 0xD800 && code_point <= 0xDFFF)) {
    return 0;
  }
  return length;
}

}  // namespace

void CheckValue(std::string_view value) {
  std::size_t pos = 0;
  while (pos < value.size()) {
    std::uint32_t code_point = 0;
    const std::size_t length = DecodeUtf8(value, pos, code_point);
    if (length == 0) {
      Refuse("invalid UTF-8", pos);
    }
    if (!IsXmlChar(code_point)) {
      Refuse(code_point < 0x20 ? "control character " + Hex(code_point)
                               : "character " + Hex(code_point),
             pos);
    }
    pos += length;
  }
}

}  // namespace quillpost::document
