// Any bytes as a complete message, as a program hands it to sendmail. Reading
// it must never crash, and the message as it is queued must hold only CR LF
// lines, and no reader of its header may find a Bcc address in it: those
// recipients would be shown to everyone the mail reaches.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "message/header_fields.h"
#include "message/message_lines.h"
#include "message/message_summary.h"
#include "message/sendable_message.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillpost::message;
  const std::string_view message(reinterpret_cast<const char*>(data), size);
  Summarise(message);
  ParseAddresses(message);
  // Taken out of raw text, a field can join a lone CR before it to the LF
  // after it; that is why a message has CR LF lines before its Bcc goes.
  if (WithoutBcc(message).size() > message.size()) {
    std::abort();
  }
  const std::string fronted = WithFieldInFront(message, "From: a@b.example");
  if (!fronted.starts_with("From: a@b.example\n") && !fronted.starts_with("From: a@b.example\r")) {
    std::abort();
  }
  std::string sendable;
  try {
    sendable = SendableMessage(message);
  } catch (const UnsendableMessage&) {
    return 0;
  }
  if (!HasOnlyCrlfLines(sendable) || !sendable.ends_with("\r\n") || FirstLongLine(sendable) != 0 ||
      SendableMessage(sendable) != sendable || !Summarise(sendable).bcc.empty()) {
    std::abort();
  }
  return 0;
}
