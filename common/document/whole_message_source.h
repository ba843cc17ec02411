#pragma once

// The whole message of a streamed request (streamed_request.h), decoded from
// its base64 text where it is stored, a block at a time, as it is read.

#include <cstddef>
#include <string>
#include <vector>

#include "document/streamed_request.h"
#include "message/byte_source.h"

namespace quillpost::document {

class WholeMessageSource final : public message::ByteSource {
 public:
  // Throws message::UnsendableMessage (Damaged) when the text cannot be
  // base64 (its length).
  WholeMessageSource(ReadAt read, TextRange text);

  // Throws message::UnsendableMessage (Damaged) when the text is not base64
  // (RFC 4648, padded), and whatever read throws.
  std::size_t Read(char* out, std::size_t length) override;
  void Rewind() override;

 private:
  // Decodes the next block of the text into decoded_.
  void DecodeBlock();

  ReadAt read_;
  TextRange text_;
  std::size_t at_ = 0;  // within the text
  int state_ = 0;       // GLib's decoder's, between blocks
  unsigned save_ = 0;
  std::vector<char> encoded_;
  std::string decoded_;
  std::size_t decodedAt_ = 0;
};

}  // namespace quillpost::document
