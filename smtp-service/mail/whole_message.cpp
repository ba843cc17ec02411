#include "mail/whole_message.h"

#include "mail/message_builder.h"
#include "mail/outgoing_mail.h"

namespace quillpost::smtp {
namespace {

constexpr std::size_t kMaxLineLength = 998;

bool FieldNamed(std::string_view line, std::string_view name) {
  if (line.size() <= name.size()) {
    return false;
  }
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = line[i];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c) != name[i]) {
      return false;
    }
  }
  std::size_t i = name.size();
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
    ++i;
  }
  return i < line.size() && line[i] == ':';
}

}  // namespace

std::string PrepareWholeMessage(std::string_view given, const std::string& messageIdDomain,
                                std::chrono::system_clock::time_point date,
                                const std::string& messageId) {
  std::string lines;
  lines.reserve(given.size() + given.size() / 32);
  bool inHeader = true;
  bool hasDate = false;
  bool hasMessageId = false;
  std::size_t number = 0;
  std::size_t position = 0;
  while (position < given.size()) {
    const std::size_t end = given.find('\n', position);
    std::string_view line =
        given.substr(position, end == std::string_view::npos ? end : end - position);
    position = end == std::string_view::npos ? given.size() : end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    if (line.size() > kMaxLineLength) {
      throw SendFailure(failure::kLineTooLong, "line " + std::to_string(number) +
                                                   " of the message is longer than " +
                                                   std::to_string(kMaxLineLength) + " octets");
    }
    if (inHeader) {
      inHeader = !line.empty();
      hasDate = hasDate || FieldNamed(line, "date");
      hasMessageId = hasMessageId || FieldNamed(line, "message-id");
    }
    lines += line;
    lines += "\r\n";
  }
  std::string prepared;
  if (!hasDate) {
    prepared += "Date: " + Rfc5322Date(date) + "\r\n";
  }
  if (!hasMessageId) {
    prepared +=
        "Message-ID: " + (messageId.empty() ? NewMessageId(messageIdDomain) : messageId) + "\r\n";
  }
  return prepared + lines;
}

}  // namespace quillpost::smtp
