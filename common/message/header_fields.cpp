#include "message/header_fields.h"

#include <algorithm>

#include "message/message_lines.h"

namespace quillpost::message {
namespace {

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
    const Line line = LineAt(message, position);
    if (line.text.empty()) {
      break;  // the body follows, untouched
    }
    if (!IsContinuation(line.text)) {
      dropping = IsBccField(line.text);
    }
    if (!dropping) {
      out += message.substr(position, line.Size());
    }
    position += line.Size();
  }
  out += message.substr(position);
  return out;
}

std::string WithFieldInFront(std::string_view message, std::string_view field) {
  const std::string_view end = message.empty() ? std::string_view() : LineAt(message, 0).end;
  std::string out(field);
  out += end.empty() ? std::string_view("\r\n") : end;
  out += message;
  return out;
}

std::size_t FirstLongLine(std::string_view message) {
  std::size_t number = 0;
  std::size_t position = 0;
  while (position < message.size()) {
    const Line line = LineAt(message, position);
    position += line.Size();
    ++number;
    if (line.text.size() > kMaxLineLength) {
      return number;
    }
  }
  return 0;
}

}  // namespace quillpost::message
