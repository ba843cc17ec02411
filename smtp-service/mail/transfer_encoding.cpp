#include "mail/transfer_encoding.h"

#include <array>
#include <cstdint>

namespace quillpost::smtp {
namespace {

constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kEncodedLineLength = 76;
constexpr std::size_t kMaxLineLength = 998;
constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

void AppendHex(std::string& out, unsigned char byte, char marker = '=') {
  static constexpr std::string_view kHex = "0123456789ABCDEF";
  out += marker;
  out += kHex[byte >> 4];
  out += kHex[byte & 0x0f];
}

// Length of the valid UTF-8 sequence starting at text[i], or 0.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) {
    return 1;
  }
  std::size_t length = 0;
  std::uint32_t min = 0;
  std::uint32_t code = 0;
  if ((lead & 0xe0) == 0xc0) {
    length = 2, min = 0x80, code = lead & 0x1f;
  } else if ((lead & 0xf0) == 0xe0) {
    length = 3, min = 0x800, code = lead & 0x0f;
  } else if ((lead & 0xf8) == 0xf0) {
    length = 4, min = 0x10000, code = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) {
    return 0;
  }
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xc0) != 0x80) {
      return 0;
    }
    code = (code << 6) | (byte(i + k) & 0x3f);
  }
  if (code < min || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) {
    return 0;
  }
  return length;
}

}  // namespace

std::string NormaliseLineEndings(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 32);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r') {
      out += "\r\n";
      if (i + 1 < text.size() && text[i + 1] == '\n') {
        ++i;
      }
    } else if (c == '\n') {
      out += "\r\n";
    } else {
      out += c;
    }
  }
  return out;
}

void AppendBase64(std::string& out, std::string_view data) {
  const std::size_t start = out.size();
  out.resize(start + (data.size() + 2) / 3 * 4);
  char* to = out.data() + start;
  const auto* from = reinterpret_cast<const unsigned char*>(data.data());
  std::size_t i = 0;
  for (; i + 3 <= data.size(); i += 3, to += 4) {
    const std::uint32_t n = (std::uint32_t{from[i]} << 16) | (std::uint32_t{from[i + 1]} << 8) |
                            std::uint32_t{from[i + 2]};
    to[0] = kBase64Alphabet[(n >> 18) & 63];
    to[1] = kBase64Alphabet[(n >> 12) & 63];
    to[2] = kBase64Alphabet[(n >> 6) & 63];
    to[3] = kBase64Alphabet[n & 63];
  }
  if (const std::size_t rest = data.size() - i; rest > 0) {
    const std::uint32_t n =
        (std::uint32_t{from[i]} << 16) | (rest == 2 ? std::uint32_t{from[i + 1]} << 8 : 0);
    to[0] = kBase64Alphabet[(n >> 18) & 63];
    to[1] = kBase64Alphabet[(n >> 12) & 63];
    to[2] = rest == 2 ? kBase64Alphabet[(n >> 6) & 63] : '=';
    to[3] = '=';
  }
}

std::string Base64(std::string_view data) {
  std::string out;
  AppendBase64(out, data);
  return out;
}

std::string Base64Lines(std::string_view data) {
  // 57 input octets make one 76-character line.
  constexpr std::size_t kChunk = kEncodedLineLength / 4 * 3;
  std::string out;
  out.reserve((data.size() + kChunk - 1) / kChunk * (kEncodedLineLength + 2));
  for (std::size_t i = 0; i < data.size(); i += kChunk) {
    AppendBase64(out, data.substr(i, kChunk));
    out += "\r\n";
  }
  return out;
}

std::string QuotedPrintable(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  std::size_t lineLength = 0;
  const auto append = [&](std::string_view piece) {
    // Keep room for the "=" of a soft line break.
    if (lineLength + piece.size() > kEncodedLineLength - 1) {
      out += "=\r\n";
      lineLength = 0;
    }
    out += piece;
    lineLength += piece.size();
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      out += "\r\n";
      lineLength = 0;
      ++i;
      continue;
    }
    const bool atLineEnd = i + 1 == text.size() || text[i + 1] == '\r';
    const bool literal =
        (c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !atLineEnd);
    if (literal) {
      const char ch = static_cast<char>(c);
      append(std::string_view(&ch, 1));
    } else {
      std::string encoded;
      AppendHex(encoded, c);
      append(encoded);
    }
  }
  return out;
}

bool FitsSevenBit(std::string_view text) {
  std::size_t lineLength = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\r') {
      if (i + 1 >= text.size() || text[i + 1] != '\n') {
        return false;
      }
      ++i;
      lineLength = 0;
      continue;
    }
    if (c >= 0x7f || (c < 0x20 && c != '\t')) {
      return false;
    }
    if (++lineLength > kMaxLineLength) {
      return false;
    }
  }
  return true;
}

std::string ValidUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = Utf8SequenceLength(text, i);
    if (length == 0) {
      out += kReplacementCharacter;
      ++i;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

std::string PercentEncode(std::string_view text, bool (*keep)(char)) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (keep(c)) {
      out += c;
    } else {
      AppendHex(out, static_cast<unsigned char>(c), '%');
    }
  }
  return out;
}

}  // namespace quillpost::smtp
