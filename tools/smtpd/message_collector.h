#pragma once

// The text of DATA, line by line: dot-unstuffed, each line ended with CR LF.
// A message over the size limit, with a line longer than SMTP allows, or with
// a CR or LF that does not end a line is read to its end and kept from the
// queue: a bare line end is never passed on, since the relay's server could
// read it as the end of the message (SMTP smuggling).

#include <cstdint>
#include <string>
#include <string_view>

namespace quillpost::smtpd {

enum class MessageFault { None, TooLarge, LongLine, BareLineEnd };

class MessageCollector {
 public:
  explicit MessageCollector(std::uint64_t maxSize) : maxSize_(maxSize) {}

  // Takes one line, read up to its CR LF (not included); tooLong when the
  // reader had to cut it. Returns false for the line "." that ends the data.
  bool Add(std::string_view line, bool tooLong);

  // The first fault found, None when the message may go on the queue.
  MessageFault Fault() const { return fault_; }
  // Octets of the message as given, also past the limit.
  std::uint64_t Size() const { return size_; }
  std::string& Text() { return text_; }

 private:
  std::uint64_t maxSize_;
  std::uint64_t size_ = 0;
  MessageFault fault_ = MessageFault::None;
  std::string text_;
};

}  // namespace quillpost::smtpd
