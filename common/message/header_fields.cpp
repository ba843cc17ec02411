#include "message/header_fields.h"

#include <algorithm>

namespace quillpost::message {
namespace {

// The line starting at position, with its line ending.
std::string_view LineAt(std::string_view text, std::size_t position) {
  const std::size_t end = text.find('\n', position);
  return text.substr(position, end == std::string_view::npos ? end : end - position + 1);
}

bool IsBlankLine(std::string_view line) {
  return line == "\n" || line == "\r\n";
}

bool IsContinuation(std::string_view line) {
  return !line.empty() && (line.front() == ' ' || line.front() == '\t');
}

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

bool StartsWithName(std::string_view line, std::string_view lowerName) {
  return line.size() >= lowerName.size() &&
         std::equal(lowerName.begin(), lowerName.end(), line.begin(),
                    [](char name, char c) { return name == Lower(c); });
}

// "Bcc:", "bcc :", "Resent-Bcc:" and the like (a field name may be followed by
// blanks). A Resent-Bcc field hides the recipients of a forwarded message
// just as Bcc does.
bool IsBccField(std::string_view line) {
  if (StartsWithName(line, "resent-")) {
    line.remove_prefix(7);
  }
  if (!StartsWithName(line, "bcc")) {
    return false;
  }
  std::size_t i = 3;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
    ++i;
  }
  return i < line.size() && line[i] == ':';
}

}  // namespace

std::string WithoutBcc(std::string_view message) {
  std::string out;
  out.reserve(message.size());
  std::size_t position = 0;
  bool dropping = false;
  while (position < message.size()) {
    const std::string_view line = LineAt(message, position);
    if (IsBlankLine(line)) {
      break;  // the body follows, untouched
    }
    if (!IsContinuation(line)) {
      dropping = IsBccField(line);
    }
    if (!dropping) {
      out += line;
    }
    position += line.size();
  }
  out += message.substr(position);
  return out;
}

std::string WithFieldInFront(std::string_view message, std::string_view field) {
  const std::string_view first = LineAt(message, 0);
  const bool crlf = first.size() >= 2 && first.substr(first.size() - 2) == "\r\n";
  std::string out(field);
  out += crlf ? "\r\n" : "\n";
  out += message;
  return out;
}

std::size_t FirstLongLine(std::string_view message) {
  std::size_t number = 0;
  std::size_t position = 0;
  while (position < message.size()) {
    std::string_view line = LineAt(message, position);
    position += line.size();
    ++number;
    if (!line.empty() && line.back() == '\n') {
      line.remove_suffix(1);
    }
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    if (line.size() > kMaxLineLength) {
      return number;
    }
  }
  return 0;
}

}  // namespace quillpost::message
