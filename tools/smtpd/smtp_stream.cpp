#include "smtp_stream.h"

#include <algorithm>
#include <array>

namespace quillpost::smtpd {
namespace {

constexpr std::size_t kReadSize = std::size_t{64} * 1024;

}  // namespace

std::optional<Line> SmtpStream::ReadLine(std::chrono::milliseconds timeout) {
  Line line;
  std::size_t scanned = start_;
  for (;;) {
    const std::size_t end = input_.find("\r\n", scanned);
    if (end != std::string::npos) {
      line.text.append(input_, start_, end - start_);
      start_ = end + 2;
      if (line.text.size() > kMaxLineOctets) {
        line.tooLong = true;
        line.text.resize(kMaxLineOctets);
      }
      return line;
    }
    // Keep at most a line's worth of an endless line; its last octet may be
    // the CR of the CR LF still to come.
    const std::size_t held = input_.size() - start_;
    if (held > kMaxLineOctets + 1) {
      const std::size_t keep = kMaxLineOctets + 1 - std::min(line.text.size(), kMaxLineOctets + 1);
      line.text.append(input_, start_, std::min(keep, held - 1));
      line.tooLong = line.tooLong || held - 1 > keep;
      input_.erase(0, input_.size() - 1);
      start_ = 0;
    } else if (start_ > 0) {
      input_.erase(0, start_);
      start_ = 0;
    }
    scanned = input_.empty() ? 0 : input_.size() - 1;
    Flush(timeout);
    std::array<char, kReadSize> buffer;
    const std::size_t got = transport_->Read(buffer.data(), buffer.size(), timeout);
    if (got == 0) {
      return std::nullopt;
    }
    input_.append(buffer.data(), got);
  }
}

void SmtpStream::Reply(std::string_view line) {
  replies_.append(line).append("\r\n");
}

void SmtpStream::Flush(std::chrono::milliseconds timeout) {
  if (!replies_.empty() && transport_) {
    transport_->Write(replies_, timeout);
    replies_.clear();
  }
}

void SmtpStream::SetTransport(std::unique_ptr<Transport> transport) {
  transport_ = std::move(transport);
  input_.clear();
  start_ = 0;
}

}  // namespace quillpost::smtpd
