#include "mail/header_text.h"

#include <glib.h>

#include "mail/gmime_support.h"

namespace quillpost::smtp {
namespace {

// Octets of text per encoded word: 40 characters of base64, so that every
// word stays well inside a line and GMime folds between words.
constexpr std::size_t kOctetsPerEncodedWord = 30;

bool IsUtf8Continuation(char c) {
  return (static_cast<unsigned char>(c) & 0xc0) == 0x80;
}

void AppendValidUtf8(std::string& out, std::string_view piece) {
  const GCharPtr valid(g_utf8_make_valid(piece.data(), static_cast<gssize>(piece.size())));
  out += valid.get();
}

// GMime passes words that already look like encoded words through as they
// are, so text holding "=?" is encoded here (see README.md).
std::string EncodedWords(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    std::size_t cut = std::min(kOctetsPerEncodedWord, text.size());
    while (cut < text.size() && cut > 1 && IsUtf8Continuation(text[cut])) {
      --cut;
    }
    const GCharPtr base64(
        g_base64_encode(reinterpret_cast<const guchar*>(text.data()), static_cast<gsize>(cut)));
    if (!out.empty()) {
      out += ' ';  // blanks between encoded words are not part of the text
    }
    out += "=?UTF-8?B?";
    out += base64.get();
    out += "?=";
    text.remove_prefix(cut);
  }
  return out;
}

}  // namespace

std::string ValidUtf8(std::string_view text) {
  // g_utf8_make_valid replaces NUL as well; keep it by cleaning between NULs.
  std::string out;
  out.reserve(text.size());
  while (true) {
    const std::size_t nul = text.find('\0');
    AppendValidUtf8(out, text.substr(0, nul));
    if (nul == std::string_view::npos) {
      return out;
    }
    out += '\0';
    text.remove_prefix(nul + 1);
  }
}

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

std::string HeaderText(std::string_view value) {
  std::string text = SingleLineText(value);
  if (text.find("=?") == std::string::npos) {
    return text;
  }
  return EncodedWords(text);
}

}  // namespace quillpost::smtp
