#include "message/sendable_stream.h"

#include <algorithm>
#include <cstring>

#include "message/header_fields.h"
#include "message/message_lines.h"

namespace quillpost::message {
namespace {

using Fault = UnsendableMessage::Fault;

constexpr std::size_t kBlock = std::size_t{64} * 1024;

std::size_t CopyOn(std::string_view source, std::size_t& at, char* out, std::size_t room) {
  const std::size_t count = std::min(room, source.size() - at);
  std::memcpy(out, source.data() + at, count);
  at += count;
  return count;
}

bool IsEmpty(std::string_view text) {
  return text.find_first_not_of("\r\n") == std::string_view::npos;
}

[[noreturn]] void LongLine(std::size_t number) {
  throw UnsendableMessage(Fault::LongLine, "line " + std::to_string(number) +
                                               " of the message is longer than " +
                                               std::to_string(kMaxLineLength) + " octets");
}

}  // namespace

SendableStream::SendableStream(std::unique_ptr<ByteSource> given) : given_(std::move(given)) {
  std::string raw;
  ReadHeader(&raw);
  bool bodyContent = false;
  std::uint64_t bodySize = 0;
  std::string_view text;
  std::string_view end;
  while (NextLine(text, end)) {
    bodyContent = bodyContent || !text.empty();
    bodySize += text.size() + 2;  // every line goes out ended in CR LF, the last one too
  }
  if (IsEmpty(raw) && !bodyContent) {
    throw UnsendableMessage(Fault::Empty, "the message is empty");
  }
  header_ = WithoutBcc(WithCrlfLines(raw));
  if (IsEmpty(header_) && !bodyContent) {
    throw UnsendableMessage(Fault::Empty, "the message holds nothing but Bcc fields");
  }
  if (!header_.ends_with("\r\n")) {
    header_ += "\r\n";  // a message that is all header, its last line without an end
  }
  size_ = header_.size() + bodySize;
  Rewind();
}

void SendableStream::ReadHeader(std::string* raw) {
  std::string_view text;
  std::string_view end;
  std::size_t size = 0;
  while (NextLine(text, end)) {
    size += text.size() + end.size();
    if (size > kMaxStreamedHeaderBytes) {
      throw UnsendableMessage(Fault::HeaderTooLarge, "the header of the message is longer than " +
                                                         std::to_string(kMaxStreamedHeaderBytes) +
                                                         " octets");
    }
    if (raw != nullptr) {
      raw->append(text).append(end);
    }
    if (text.empty()) {
      return;  // the empty line that ends the header
    }
  }
}

bool SendableStream::NextLine(std::string_view& text, std::string_view& end) {
  for (;;) {
    const std::string_view rest = std::string_view(buffer_).substr(bufferAt_);
    const std::size_t found = rest.find_first_of("\r\n");
    // A CR that is the last byte read yet may be the first half of a CR LF.
    const bool ended =
        found != std::string_view::npos && (rest[found] == '\n' || found + 1 < rest.size());
    if (ended || givenEnded_) {
      if (rest.empty()) {
        return false;
      }
      const Line line = LineAt(rest, 0);
      bufferAt_ += line.Size();
      ++lineNumber_;
      if (line.text.find('\0') != std::string_view::npos) {
        throw UnsendableMessage(
            Fault::Nul, "line " + std::to_string(lineNumber_) + " of the message holds a NUL byte");
      }
      if (line.text.size() > kMaxLineLength) {
        LongLine(lineNumber_);
      }
      text = line.text;
      end = line.end;
      return true;
    }
    if (found == std::string_view::npos && rest.size() > kMaxLineLength) {
      LongLine(lineNumber_ + 1);  // no need to read to its end
    }
    buffer_.erase(0, bufferAt_);
    bufferAt_ = 0;
    const std::size_t kept = buffer_.size();
    buffer_.resize(kept + kBlock);
    const std::size_t got = given_->Read(buffer_.data() + kept, kBlock);
    buffer_.resize(kept + got);
    givenEnded_ = got == 0;
  }
}

std::size_t SendableStream::Read(char* out, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    if (headerAt_ < header_.size()) {
      done += CopyOn(header_, headerAt_, out + done, length - done);
      continue;
    }
    if (lineAt_ < line_.size()) {
      done += CopyOn(line_, lineAt_, out + done, length - done);
      continue;
    }
    std::string_view text;
    std::string_view end;
    if (!NextLine(text, end)) {
      break;
    }
    line_.assign(text).append("\r\n");
    lineAt_ = 0;
  }
  return done;
}

void SendableStream::Rewind() {
  given_->Rewind();
  buffer_.clear();
  bufferAt_ = 0;
  givenEnded_ = false;
  lineNumber_ = 0;
  ReadHeader(nullptr);
  headerAt_ = 0;
  line_.clear();
  lineAt_ = 0;
}

}  // namespace quillpost::message
