#include "message/sendable_message.h"

#include "message/header_fields.h"
#include "message/message_lines.h"

namespace quillpost::message {
namespace {

using Fault = UnsendableMessage::Fault;

// The number (from 1) of the line holding position.
std::size_t LineNumberOf(std::string_view message, std::size_t position) {
  std::size_t number = 0;
  std::size_t at = 0;
  do {
    at += LineAt(message, at).Size();
    ++number;
  } while (at <= position);
  return number;
}

bool IsEmpty(std::string_view message) {
  return message.find_first_not_of("\r\n") == std::string_view::npos;
}

}  // namespace

std::string SendableMessage(std::string_view given) {
  if (IsEmpty(given)) {
    throw UnsendableMessage(Fault::Empty, "the message is empty");
  }
  if (const std::size_t nul = given.find('\0'); nul != std::string_view::npos) {
    throw UnsendableMessage(Fault::Nul, "line " + std::to_string(LineNumberOf(given, nul)) +
                                            " of the message holds a NUL byte");
  }
  if (const std::size_t line = FirstLongLine(given); line != 0) {
    throw UnsendableMessage(Fault::LongLine, "line " + std::to_string(line) +
                                                 " of the message is longer than " +
                                                 std::to_string(kMaxLineLength) + " octets");
  }
  std::string sendable = WithoutBcc(WithCrlfLines(given));
  if (IsEmpty(sendable)) {
    throw UnsendableMessage(Fault::Empty, "the message holds nothing but Bcc fields");
  }
  if (!sendable.ends_with("\r\n")) {
    sendable += "\r\n";
  }
  return sendable;
}

}  // namespace quillpost::message
