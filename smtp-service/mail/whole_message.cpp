#include "mail/whole_message.h"

#include "mail/message_builder.h"
#include "mail/outgoing_mail.h"
#include "mail/stored_read.h"
#include "message/message_lines.h"
#include "message/sendable_message.h"
#include "message/sendable_stream.h"

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

template <typename Make>
auto Sendable(Make make) -> decltype(make()) {
  try {
    return make();
  } catch (const message::UnsendableMessage& error) {
    const bool tooLong = error.WhatFault() == message::UnsendableMessage::Fault::LongLine;
    throw SendFailure(tooLong ? failure::kLineTooLong : failure::kMessageUnsendable, error.what());
  }
}

// The Date and Message-ID fields to put in front of a message whose sendable
// header is lines (the rest of the message may follow).
std::string FieldsToAdd(std::string_view lines, const std::string& messageIdDomain,
                        std::chrono::system_clock::time_point date, const std::string& messageId) {
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
  std::string fields;
  if (!hasDate) {
    fields += "Date: " + Rfc5322Date(date) + "\r\n";
  }
  if (!hasMessageId) {
    fields +=
        "Message-ID: " + (messageId.empty() ? NewMessageId(messageIdDomain) : messageId) + "\r\n";
  }
  return fields;
}

}  // namespace

std::string PrepareWholeMessage(std::string_view given, const std::string& messageIdDomain,
                                std::chrono::system_clock::time_point date,
                                const std::string& messageId) {
  const std::string lines = Sendable([given] { return message::SendableMessage(given); });
  return FieldsToAdd(lines, messageIdDomain, date, messageId) + lines;
}

MessageText PrepareWholeMessage(std::unique_ptr<message::ByteSource> given,
                                const std::string& messageIdDomain,
                                std::chrono::system_clock::time_point date,
                                const std::string& messageId) {
  std::unique_ptr<message::SendableStream> sendable = ReadingStored([&] {
    return Sendable([&] { return std::make_unique<message::SendableStream>(std::move(given)); });
  });
  std::string fields = FieldsToAdd(sendable->Header(), messageIdDomain, date, messageId);
  const std::uint64_t size = sendable->Size();
  return MessageText(std::move(fields), std::move(sendable), size);
}

}  // namespace quillpost::smtp
