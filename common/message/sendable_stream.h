#pragma once

// SendableMessage (sendable_message.h) for a message read a block at a time:
// the same rules, applied line by line, so that a message of any size goes
// out with a small buffer. The header, up to and with the empty line that
// ends it, is held in memory (at most kMaxStreamedHeaderBytes), since the
// Bcc fields are found in it as a whole; the body passes line by line.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "message/byte_source.h"
#include "message/sendable_message.h"

namespace quillpost::message {

inline constexpr std::size_t kMaxStreamedHeaderBytes = std::size_t{1} << 20;

class SendableStream final : public ByteSource {
 public:
  // Reads given through once to check it and count its size. Throws
  // UnsendableMessage as SendableMessage does, and HeaderTooLarge past
  // kMaxStreamedHeaderBytes.
  explicit SendableStream(std::unique_ptr<ByteSource> given);

  // The header as it goes out: CR LF lines, no Bcc fields, and the empty line
  // that ends it when the message has one.
  const std::string& Header() const { return header_; }
  // The octets Read gives from the start to the end.
  std::uint64_t Size() const { return size_; }

  std::size_t Read(char* out, std::size_t length) override;
  void Rewind() override;

 private:
  // The next line of given, checked; false at the end. A line's text and
  // end stay valid until the next call.
  bool NextLine(std::string_view& text, std::string_view& end);
  // Reads the lines of the header, up to and with the empty line that ends
  // it, into raw when it is given.
  void ReadHeader(std::string* raw);

  std::unique_ptr<ByteSource> given_;
  std::string header_;
  std::uint64_t size_ = 0;

  std::string buffer_;  // read from given_, from bufferAt_ on not yet taken
  std::size_t bufferAt_ = 0;
  bool givenEnded_ = false;
  std::size_t lineNumber_ = 0;

  std::size_t headerAt_ = 0;  // how much of header_ Read gave
  std::string line_;          // a body line as it goes out
  std::size_t lineAt_ = 0;
};

}  // namespace quillpost::message
