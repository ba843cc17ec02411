#pragma once

// A message ready for the DATA command, read out in blocks as libcurl asks
// for them. The text around the attachments is held in memory; each
// attachment's content is read from its file and encoded in base64 only as
// its turn comes, so that a large file never sits in memory whole.
//
// Every octet of a mail passes through here, so this is where the wire's
// line rule is kept: every line end of the held text goes out as CR LF,
// whatever made the text. A lone CR or LF that reached the wire could end the
// data early for a receiver that reads line ends its own way.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mail/gmime_support.h"
#include "message/byte_source.h"
#include "posix/unique_fd.h"

namespace quillpost::smtp {

class MessageText {
 public:
  // One piece of the message: octets textBegin to textEnd of the held
  // text, then (when file is valid) fileSize octets of the file in base64
  // lines of 76 characters, each ending in CR LF.
  struct Piece {
    std::size_t textBegin = 0;
    std::size_t textEnd = 0;
    posix::UniqueFd file;
    std::uint64_t fileSize = 0;
  };

  // A message held whole.
  explicit MessageText(std::string text);
  // Pieces of the text in held (a GMimeStreamMem). A piece's text is taken
  // on its own: a CR at its end is a line end.
  MessageText(GObjectPtr<GMimeStream> held, std::vector<Piece> pieces);
  // front (held), then restSize octets of rest, which already has CR LF
  // lines: a message too large to hold, read as libcurl asks for it.
  MessageText(std::string front, std::unique_ptr<message::ByteSource> rest, std::uint64_t restSize);

  MessageText(MessageText&&) noexcept = default;
  MessageText& operator=(MessageText&&) noexcept = default;
  MessageText(const MessageText&) = delete;
  MessageText& operator=(const MessageText&) = delete;
  ~MessageText() = default;

  // The number of octets Read gives from the start to the end.
  std::uint64_t Size() const { return size_; }

  // Copies up to length octets to out, going on where the last call ended;
  // 0 at the end. Throws SendFailure (kAttachmentUnreadable) when a file
  // holds fewer octets than it did when it was opened, or cannot be read;
  // (kInternal) when rest cannot be read.
  std::size_t Read(char* out, std::size_t length);
  // Back to the start, for another try.
  void Rewind();

  // The octets base64 lines (with CR LF) take for size octets.
  static std::uint64_t EncodedSize(std::uint64_t size);

 private:
  std::string_view Held() const;
  // Makes every line end of the held text CR LF and counts size_.
  void EndLinesInCrlf();
  // Reads and encodes the next block of the current piece's file into out,
  // which has room for it; returns the octets written.
  std::size_t EncodeBlock(const Piece& piece, char* out);
  std::size_t ReadRest(char* out, std::size_t length);

  std::string whole_;
  GObjectPtr<GMimeStream> held_;
  std::vector<Piece> pieces_;
  std::uint64_t size_ = 0;

  std::size_t piece_ = 0;      // the piece being read
  std::size_t textAt_ = 0;     // in its text
  std::uint64_t fileAt_ = 0;   // in its file
  std::vector<char> input_;    // a block of the file
  std::vector<char> encoded_;  // an encoded block that did not fit the caller's buffer
  std::size_t encodedAt_ = 0;
  std::unique_ptr<message::ByteSource> rest_;
};

}  // namespace quillpost::smtp
