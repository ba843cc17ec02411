#include "mail/message_text.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "mail/outgoing_mail.h"
#include "mail/stored_read.h"
#include "message/message_lines.h"

namespace quillpost::smtp {
namespace {

// 57 octets make one base64 line of 76 characters; a block is as many whole
// lines as fit in 64 KiB.
constexpr std::size_t kLineOctets = 57;
constexpr std::size_t kBlockOctets = kLineOctets * (65536 / kLineOctets);

// Copies what is left of source from at into out, as much as room holds,
// and moves at on; the count copied.
std::size_t CopyOn(std::string_view source, std::size_t& at, char* out, std::size_t room) {
  const std::size_t count = std::min(room, source.size() - at);
  std::memcpy(out, source.data() + at, count);
  at += count;
  return count;
}

}  // namespace

MessageText::MessageText(std::string text) : whole_(std::move(text)) {
  pieces_.push_back(Piece{0, whole_.size(), {}, 0});
  EndLinesInCrlf();
}

MessageText::MessageText(GObjectPtr<GMimeStream> held, std::vector<Piece> pieces)
    : held_(std::move(held)), pieces_(std::move(pieces)) {
  EndLinesInCrlf();
}

MessageText::MessageText(std::string front, std::unique_ptr<message::ByteSource> rest,
                         std::uint64_t restSize)
    : whole_(std::move(front)), rest_(std::move(rest)) {
  pieces_.push_back(Piece{0, whole_.size(), {}, 0});
  EndLinesInCrlf();
  size_ += restSize;
}

void MessageText::EndLinesInCrlf() {
  const std::string_view held = Held();
  const auto textOf = [&held](const Piece& piece) {
    return held.substr(piece.textBegin, piece.textEnd - piece.textBegin);
  };
  if (!std::all_of(pieces_.begin(), pieces_.end(),
                   [&](const Piece& piece) { return message::HasOnlyCrlfLines(textOf(piece)); })) {
    std::string text;
    for (Piece& piece : pieces_) {
      const std::size_t begin = text.size();
      text += message::WithCrlfLines(textOf(piece));
      piece.textBegin = begin;
      piece.textEnd = text.size();
    }
    whole_ = std::move(text);
    held_.reset();
  }
  size_ = 0;
  for (const Piece& piece : pieces_) {
    size_ += piece.textEnd - piece.textBegin;
    if (piece.file.Valid()) {
      size_ += EncodedSize(piece.fileSize);
    }
  }
}

std::uint64_t MessageText::EncodedSize(std::uint64_t size) {
  const std::uint64_t rest = size % kLineOctets;
  return size / kLineOctets * 78 + (rest == 0 ? 0 : (rest + 2) / 3 * 4 + 2);
}

std::string_view MessageText::Held() const {
  if (!held_) {
    return whole_;
  }
  const GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(held_.get()));
  return {reinterpret_cast<const char*>(bytes->data), bytes->len};
}

void MessageText::Rewind() {
  if (rest_) {
    ReadingStored([&] { rest_->Rewind(); });
  }
  piece_ = 0;
  textAt_ = 0;
  fileAt_ = 0;
  encoded_.clear();
  encodedAt_ = 0;
}

std::size_t MessageText::EncodeBlock(const Piece& piece, char* out) {
  const auto wanted =
      static_cast<std::size_t>(std::min<std::uint64_t>(piece.fileSize - fileAt_, kBlockOctets));
  input_.resize(kBlockOctets);
  for (std::size_t got = 0; got < wanted;) {
    const ssize_t read = ::pread(piece.file.Get(), input_.data() + got, wanted - got,
                                 static_cast<off_t>(fileAt_ + got));
    if (read < 0 && errno == EINTR) {
      continue;
    }
    if (read <= 0) {
      throw SendFailure(failure::kAttachmentUnreadable,
                        read == 0 ? std::string("an attachment became shorter while it was sent")
                                  : std::string("an attachment could not be read to its end: ") +
                                        std::strerror(errno));
    }
    got += static_cast<std::size_t>(read);
  }
  fileAt_ += wanted;
  // GLib encodes each line straight into place: GMime's encoder ends its
  // lines in LF, and turning those into CR LF would take another pass.
  char* at = out;
  for (std::size_t line = 0; line < wanted; line += kLineOctets) {
    gint state = 0;
    gint save = 0;
    const auto* octets = reinterpret_cast<const guchar*>(input_.data() + line);
    at += g_base64_encode_step(octets, std::min(kLineOctets, wanted - line), FALSE, at, &state,
                               &save);
    at += g_base64_encode_close(FALSE, at, &state, &save);
    *at++ = '\r';
    *at++ = '\n';
  }
  return static_cast<std::size_t>(at - out);
}

std::size_t MessageText::ReadRest(char* out, std::size_t length) {
  return rest_ ? ReadingStored([&] { return rest_->Read(out, length); }) : 0;
}

std::size_t MessageText::Read(char* out, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    if (encodedAt_ < encoded_.size()) {
      done += CopyOn({encoded_.data(), encoded_.size()}, encodedAt_, out + done, length - done);
      continue;
    }
    if (piece_ >= pieces_.size()) {
      done += ReadRest(out + done, length - done);
      break;
    }
    const Piece& piece = pieces_[piece_];
    const std::string_view text = Held().substr(piece.textBegin, piece.textEnd - piece.textBegin);
    if (textAt_ < text.size()) {
      done += CopyOn(text, textAt_, out + done, length - done);
      continue;
    }
    if (piece.file.Valid() && fileAt_ < piece.fileSize) {
      const std::uint64_t block = std::min<std::uint64_t>(piece.fileSize - fileAt_, kBlockOctets);
      if (length - done >= EncodedSize(block)) {
        done += EncodeBlock(piece, out + done);
      } else {
        encoded_.resize(EncodedSize(kBlockOctets));
        encoded_.resize(EncodeBlock(piece, encoded_.data()));
        encodedAt_ = 0;
      }
      continue;
    }
    ++piece_;
    textAt_ = 0;
    fileAt_ = 0;
  }
  return done;
}

}  // namespace quillpost::smtp
