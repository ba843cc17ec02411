#include "character_references.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "document/request_format.h"
#include "document/utf8.h"

// pugixml resolves references itself, but turns any number into a character,
// &#0; included, which then ends the value early. The reader therefore parses
// with reference resolution off and resolves references here.

namespace quillpost::document::detail {
namespace {

constexpr std::array<std::pair<std::string_view, char>, 5> kPredefined{{
    {"&lt;", '<'},
    {"&gt;", '>'},
    {"&amp;", '&'},
    {"&apos;", '\''},
    {"&quot;", '"'},
}};

// Anything above this is no character; counting stops there so that no number
// of digits can wrap around to an allowed one.
constexpr std::uint32_t kPastLastCharacter = 0x110000;

void AppendUtf8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

int DigitValue(char c, bool hex) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (hex && c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (hex && c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

// Reads the character reference at raw[pos] ("&#" already seen). Returns its
// length and sets codePoint, or returns 0 when it is not a reference at all.
std::size_t ReadCharacterReference(std::string_view raw, std::size_t pos,
                                   std::uint32_t& codePoint) {
  std::size_t at = pos + 2;
  const bool hex = at < raw.size() && raw[at] == 'x';
  at += hex ? 1 : 0;
  const std::size_t firstDigit = at;
  codePoint = 0;
  for (int digit = 0; at < raw.size() && (digit = DigitValue(raw[at], hex)) >= 0; ++at) {
    codePoint = std::min<std::uint32_t>(codePoint * (hex ? 16 : 10) + static_cast<unsigned>(digit),
                                        kPastLastCharacter);
  }
  if (at == firstDigit || at >= raw.size() || raw[at] != ';') {
    return 0;
  }
  return at + 1 - pos;
}

[[noreturn]] void Refuse(const std::string& reason, std::size_t offset) {
  throw ParseError("malformed request document at byte " + std::to_string(offset) + ": " + reason,
                   offset);
}

}  // namespace

std::string ResolveReferences(std::string_view raw, std::size_t offset) {
  std::string text;
  text.reserve(raw.size());
  std::size_t pos = 0;
  while (pos < raw.size()) {
    const std::size_t amp = raw.find('&', pos);
    text.append(raw.substr(pos, amp - pos));
    if (amp == std::string_view::npos) {
      break;
    }
    pos = amp;
    const std::string_view rest = raw.substr(amp);
    if (rest.starts_with("&#")) {
      std::uint32_t codePoint = 0;
      const std::size_t length = ReadCharacterReference(raw, amp, codePoint);
      if (length == 0) {
        Refuse("malformed character reference", offset + amp);
      }
      if (!IsXmlChar(codePoint)) {
        Refuse("character reference to a character XML does not allow", offset + amp);
      }
      AppendUtf8(text, codePoint);
      pos += length;
      continue;
    }
    bool resolved = false;
    for (const auto& [name, character] : kPredefined) {
      if (rest.starts_with(name)) {
        text += character;
        pos += name.size();
        resolved = true;
        break;
      }
    }
    if (!resolved) {
      text += '&';
      ++pos;
    }
  }
  return text;
}

}  // namespace quillpost::document::detail
