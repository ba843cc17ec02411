#include "document/whole_message_source.h"

#include <glib.h>

#include <algorithm>
#include <cstring>

#include "base64_alphabet.h"
#include "document/request_format.h"
#include "message/sendable_message.h"

namespace quillpost::document {
namespace {

constexpr std::size_t kBlock = std::size_t{64} * 1024;

using detail::IsBase64Digit;

[[noreturn]] void NotBase64() {
  throw message::UnsendableMessage(
      message::UnsendableMessage::Fault::Damaged,
      "the " + std::string(kWholeMessageTag) + " element is not base64");
}

}  // namespace

WholeMessageSource::WholeMessageSource(ReadAt read, TextRange text)
    : read_(std::move(read)), text_(text), encoded_(kBlock) {
  if (text_.length % 4 != 0) {
    NotBase64();
  }
}

void WholeMessageSource::DecodeBlock() {
  const std::size_t wanted = std::min(kBlock, text_.length - at_);
  std::size_t got = 0;
  while (got < wanted) {
    const std::size_t read = read_(text_.offset + at_ + got, encoded_.data() + got, wanted - got);
    if (read == 0) {
      throw message::UnsendableMessage(
          message::UnsendableMessage::Fault::Damaged,
          "the " + std::string(kWholeMessageTag) + " element ended early");
    }
    got += read;
  }
  // GLib's decoder skips what it does not know; a damaged text must fail
  // instead of sending a damaged message. Padding only ends the text.
  for (std::size_t i = 0; i < wanted; ++i) {
    const std::size_t position = at_ + i;
    const char c = encoded_[i];
    const bool padding = c == '=' && position + 2 >= text_.length &&
                         std::all_of(encoded_.begin() + static_cast<std::ptrdiff_t>(i),
                                     encoded_.begin() + static_cast<std::ptrdiff_t>(wanted),
                                     [](char rest) { return rest == '='; });
    if (!IsBase64Digit(c) && !padding) {
      NotBase64();
    }
  }
  decoded_.resize(wanted / 4 * 3 + 3);
  decoded_.resize(g_base64_decode_step(
      encoded_.data(), wanted, reinterpret_cast<guchar*>(decoded_.data()), &state_, &save_));
  decodedAt_ = 0;
  at_ += wanted;
}

std::size_t WholeMessageSource::Read(char* out, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    if (decodedAt_ == decoded_.size()) {
      if (at_ == text_.length) {
        break;
      }
      DecodeBlock();
      continue;
    }
    const std::size_t count = std::min(length - done, decoded_.size() - decodedAt_);
    std::memcpy(out + done, decoded_.data() + decodedAt_, count);
    decodedAt_ += count;
    done += count;
  }
  return done;
}

void WholeMessageSource::Rewind() {
  at_ = 0;
  state_ = 0;
  save_ = 0;
  decoded_.clear();
  decodedAt_ = 0;
}

}  // namespace quillpost::document
