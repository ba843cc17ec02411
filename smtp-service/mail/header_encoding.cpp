#include "mail/header_encoding.h"

#include <algorithm>

#include "mail/transfer_encoding.h"

namespace quillpost::smtp {
namespace {

constexpr std::size_t kPreferredLineLength = 78;
// RFC 2047: a line holding encoded words is at most 76 characters.
constexpr std::size_t kEncodedWordLineLength = 76;
constexpr std::string_view kEncodedWordStart = "=?UTF-8?B?";
constexpr std::string_view kEncodedWordEnd = "?=";
constexpr std::size_t kLongestPlainWord = 60;

bool IsPrintableAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

bool IsUtf8Continuation(char c) {
  return (static_cast<unsigned char>(c) & 0xc0) == 0x80;
}

// Splits text into pieces of at most maxOctets, never inside a UTF-8 sequence.
std::string_view TakeWholeCharacters(std::string_view text, std::size_t maxOctets) {
  if (text.size() <= maxOctets) {
    return text;
  }
  std::size_t cut = maxOctets;
  while (cut > 0 && IsUtf8Continuation(text[cut])) {
    --cut;
  }
  return text.substr(0, cut == 0 ? maxOctets : cut);
}

// Octets of text that fit in one encoded word on a line already holding
// `used` characters.
std::size_t EncodedWordCapacity(std::size_t used) {
  const std::size_t overhead = used + kEncodedWordStart.size() + kEncodedWordEnd.size();
  const std::size_t room =
      kEncodedWordLineLength > overhead + 4 ? kEncodedWordLineLength - overhead : 4;
  return room / 4 * 3;
}

// Appends text as a run of encoded words, each on its own line after the
// first. `line` is the length of the current line.
void AppendEncodedWords(std::string& out, std::size_t& line, std::string_view text) {
  bool first = true;
  while (!text.empty() || first) {
    if (!first) {
      out += "\r\n ";
      line = 1;
    }
    const std::string_view piece = TakeWholeCharacters(text, EncodedWordCapacity(line));
    std::string word(kEncodedWordStart);
    word += Base64(piece);
    word += kEncodedWordEnd;
    out += word;
    line += word.size();
    text.remove_prefix(piece.size());
    first = false;
  }
}

// Appends printable ASCII text, folding before runs of blanks where the line
// would grow past the preferred length.
void AppendFoldedPlain(std::string& out, std::size_t& line, std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t wordStart = i;
    while (wordStart < text.size() && text[wordStart] == ' ') {
      ++wordStart;
    }
    std::size_t wordEnd = wordStart;
    while (wordEnd < text.size() && text[wordEnd] != ' ') {
      ++wordEnd;
    }
    const std::string_view piece = text.substr(i, wordEnd - i);
    if (i > 0 && wordStart > i && line + piece.size() > kPreferredLineLength) {
      out += "\r\n";
      line = 0;
    }
    out += piece;
    line += piece.size();
    i = wordEnd;
  }
}

bool LooksPlain(std::string_view text) {
  if (!IsPrintableAscii(text) || text.find("=?") != std::string_view::npos) {
    return false;
  }
  std::size_t run = 0;
  for (char c : text) {
    run = c == ' ' ? 0 : run + 1;
    if (run > kLongestPlainWord) {
      return false;
    }
  }
  return true;
}

bool IsAtextOrSpace(char c) {
  static constexpr std::string_view kSpecials = "!#$%&'*+-/=?^_`{|}~ ";
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         kSpecials.find(c) != std::string_view::npos;
}

std::string QuotedString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
    }
    out += c;
  }
  out += '"';
  return out;
}

// RFC 2231 attribute-char.
bool IsAttributeChar(char c) {
  static constexpr std::string_view kAllowed = "!#$&+-.^_`|~";
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         kAllowed.find(c) != std::string_view::npos;
}

}  // namespace

std::string SingleLineText(std::string_view value) {
  const std::string valid = ValidUtf8(value);
  std::string out;
  out.reserve(valid.size());
  bool inBreak = false;
  for (char c : valid) {
    const auto byte = static_cast<unsigned char>(c);
    const bool control = byte < 0x20 || byte == 0x7f;
    if (c == '\r' || c == '\n') {
      if (!inBreak) {
        out += ' ';
      }
      inBreak = true;
      continue;
    }
    inBreak = false;
    out += control ? ' ' : c;
  }
  return out;
}

std::string UnstructuredField(std::string_view name, std::string_view value) {
  const std::string text = SingleLineText(value);
  std::string out(name);
  out += ": ";
  std::size_t line = out.size();
  if (LooksPlain(text)) {
    AppendFoldedPlain(out, line, text);
  } else {
    AppendEncodedWords(out, line, text);
  }
  out += "\r\n";
  return out;
}

std::string MailboxField(std::string_view name, std::string_view displayName,
                         std::string_view address) {
  const std::string text = SingleLineText(displayName);
  std::string out(name);
  out += ": ";
  std::size_t line = out.size();
  if (!text.empty()) {
    const bool plain = LooksPlain(text) && text.size() <= kLongestPlainWord;
    if (plain && std::all_of(text.begin(), text.end(), IsAtextOrSpace) && text.front() != ' ' &&
        text.back() != ' ') {
      out += text;
      line += text.size();
    } else if (plain) {
      const std::string quoted = QuotedString(text);
      out += quoted;
      line += quoted.size();
    } else {
      AppendEncodedWords(out, line, text);
    }
    const std::size_t addressLength = address.size() + 3;
    if (line + addressLength > kPreferredLineLength) {
      out += "\r\n";
    }
    out += ' ';
  }
  out += '<';
  out += address;
  out += ">\r\n";
  return out;
}

std::string AddressListField(std::string_view name, const std::vector<std::string>& addresses) {
  std::string out(name);
  out += ":";
  std::size_t line = out.size();
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    const std::string& address = addresses[i];
    const std::size_t needed = address.size() + 1 + (i + 1 < addresses.size() ? 1 : 0);
    if (i > 0 && line + needed > kPreferredLineLength) {
      out += "\r\n";
      line = 0;
    }
    out += ' ';
    out += address;
    line += address.size() + 1;
    if (i + 1 < addresses.size()) {
      out += ',';
      ++line;
    }
  }
  out += "\r\n";
  return out;
}

std::string MimeParameter(std::string_view name, std::string_view value) {
  // Keep the bytes (a file name may hold any of them), but make sure the
  // charset label is true.
  const std::string text = ValidUtf8(value);
  if (IsPrintableAscii(text) && text.size() <= kLongestPlainWord) {
    std::string out = ";\r\n ";
    out += name;
    out += '=';
    out += QuotedString(text);
    return out;
  }
  const std::string encoded = PercentEncode(text, IsAttributeChar);
  static constexpr std::string_view kCharset = "UTF-8''";
  // " name*=UTF-8''value;" on one line when it fits.
  if (1 + name.size() + 2 + kCharset.size() + encoded.size() + 1 <= kPreferredLineLength) {
    std::string out = ";\r\n ";
    out += name;
    out += "*=";
    out += kCharset;
    out += encoded;
    return out;
  }
  // Otherwise continued sections " name*N*=value;", each on its own line.
  std::string out;
  std::size_t section = 0;
  for (std::size_t i = 0; i < encoded.size(); ++section) {
    const std::string label = std::string(name) + "*" + std::to_string(section) + "*=";
    const std::size_t fixed = 1 + label.size() + (section == 0 ? kCharset.size() : 0) + 1;
    std::size_t length = std::min(kPreferredLineLength - std::min(fixed, kPreferredLineLength - 3),
                                  encoded.size() - i);
    // Never split a %XX triplet.
    if (i + length < encoded.size()) {
      if (encoded[i + length - 1] == '%') {
        length -= 1;
      } else if (length >= 2 && encoded[i + length - 2] == '%') {
        length -= 2;
      }
    }
    out += ";\r\n ";
    out += label;
    if (section == 0) {
      out += kCharset;
    }
    out.append(encoded, i, length);
    i += length;
  }
  return out;
}

}  // namespace quillpost::smtp
