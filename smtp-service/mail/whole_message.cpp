#include "mail/whole_message.h"

#include "mail/message_builder.h"
#include "mail/outgoing_mail.h"
#include "message/message_lines.h"
#include "message/sendable_message.h"

namespace quillpost::smtp {
namespace {

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

std::string Sendable(std::string_view given) {
  try {
    return message::SendableMessage(given);
  } catch (const message::UnsendableMessage& error) {
    const bool tooLong = error.WhatFault() == message::UnsendableMessage::Fault::LongLine;
    throw SendFailure(tooLong ? failure::kLineTooLong : failure::kMessageUnsendable, error.what());
  }
}

}  // namespace

std::string PrepareWholeMessage(std::string_view given, const std::string& messageIdDomain,
                                std::chrono::system_clock::time_point date,
                                const std::string& messageId) {
  std::string lines = Sendable(given);
  bool hasDate = false;
  bool hasMessageId = false;
  for (std::size_t position = 0; position < lines.size();) {
    const message::Line line = message::LineAt(lines, position);
    if (line.text.empty()) {
      break;  // the end of the header
    }
    hasDate = hasDate || FieldNamed(line.text, "date");
    hasMessageId = hasMessageId || FieldNamed(line.text, "message-id");
    position += line.Size();
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
