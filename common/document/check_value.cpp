#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "character_rules.h"
#include "document/request_format.h"
#include "document/utf8.h"

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

}  // namespace

namespace detail {

std::optional<Uncarriable> FindUncarriable(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::uint32_t code_point = 0;
    const std::size_t length = DecodeUtf8(text, pos, code_point);
    if (length == 0) {
      return Uncarriable{pos, "invalid UTF-8"};
    }
    if (!IsXmlChar(code_point)) {
      return Uncarriable{pos, code_point < 0x20 ? "control character " + Hex(code_point)
                                                : "character " + Hex(code_point)};
    }
    pos += length;
  }
  return std::nullopt;
}

}  // namespace detail

void CheckValue(std::string_view value) {
  if (const std::optional<detail::Uncarriable> found = detail::FindUncarriable(value)) {
    throw InvalidValue("value cannot be carried in a request document: " + found->what +
                       " at byte " + std::to_string(found->offset));
  }
}

}  // namespace quillpost::document
