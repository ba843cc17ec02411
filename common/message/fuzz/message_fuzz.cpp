// Any bytes as a complete message, as a program hands it to sendmail. Reading
// it must never crash, and once its Bcc fields are taken out no reader of
// the header may find a Bcc address in what is left: those recipients would
// be shown to everyone the mail reaches.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "message/header_fields.h"
#include "message/message_summary.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillpost::message;
  const std::string_view message(reinterpret_cast<const char*>(data), size);
  Summarise(message);
  ParseAddresses(message);
  FirstLongLine(message);
  const std::string stripped = WithoutBcc(message);
  if (stripped.size() > message.size() || WithoutBcc(stripped) != stripped) {
    std::abort();
  }
  if (!Summarise(stripped).bcc.empty()) {
    std::abort();
  }
  const std::string fronted = WithFieldInFront(message, "From: a@b.example");
  if (!fronted.starts_with("From: a@b.example\n") &&
      !fronted.starts_with("From: a@b.example\r\n")) {
    std::abort();
  }
  return 0;
}
