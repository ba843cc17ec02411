#include "message/message_lines.h"

namespace quillpost::message {

Line LineAt(std::string_view message, std::size_t position) {
  const std::size_t end = message.find_first_of("\r\n", position);
  if (end == std::string_view::npos) {
    return {message.substr(position), {}};
  }
  const std::size_t endSize =
      message[end] == '\r' && end + 1 < message.size() && message[end + 1] == '\n' ? 2 : 1;
  return {message.substr(position, end - position), message.substr(end, endSize)};
}

std::string WithCrlfLines(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 64);
  for (std::size_t position = 0; position < text.size();) {
    const Line line = LineAt(text, position);
    out += line.text;
    if (!line.end.empty()) {
      out += "\r\n";
    }
    position += line.Size();
  }
  return out;
}

bool HasOnlyCrlfLines(std::string_view text) {
  for (std::size_t at = text.find_first_of("\r\n"); at != std::string_view::npos;
       at = text.find_first_of("\r\n", at + 2)) {
    if (text[at] == '\n' || at + 1 == text.size() || text[at + 1] != '\n') {
      return false;
    }
  }
  return true;
}

}  // namespace quillpost::message
