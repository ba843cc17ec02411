#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "queue/path_name.h"
#include "queue/queue.h"

namespace quillpost::queue {
namespace {

// Counts the characters of UTF-8 text; std::nullopt-like -1 when it is not
// valid UTF-8 (overlong forms, surrogates and values past U+10FFFF included).
long CountUtf8Characters(std::string_view text) {
  long count = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    char32_t value = 0;
    if (lead < 0x80) {
      length = 1;
      value = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      value = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      value = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      value = lead & 0x07;
    } else {
      return -1;
    }
    if (i + length > text.size()) {
      return -1;
    }
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) {
        return -1;
      }
      value = (value << 6) | (next & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
      return -1;
    }
    i += length;
    ++count;
  }
  return count;
}

// A body held in memory, read as a stream.
class HeldBodyStream final : public BodyStream {
 public:
  explicit HeldBodyStream(std::string_view body) : body_(body) {}
  std::size_t Size() const override { return body_.size(); }
  std::size_t Read(std::size_t offset, char* out, std::size_t length) override {
    const std::size_t count = offset < body_.size() ? std::min(length, body_.size() - offset) : 0;
    std::memcpy(out, body_.data() + offset, count);
    return count;
  }

 private:
  std::string_view body_;
};

void CheckBodySize(const Message& message, std::size_t limit, std::string_view where) {
  if (message.body.size() > limit) {
    throw InvalidMessage("message body has " + std::to_string(message.body.size()) + " bytes; " +
                         std::string(where) + " takes at most " + std::to_string(limit));
  }
}

}  // namespace

std::unique_ptr<BodyStream> HeldMessage::OpenStoredBody() {
  throw QueueError("this queue keeps no message body out of memory");
}

void HeldMessage::FinishAndSendKeeping(const std::string& /*pathName*/, const Message& /*next*/,
                                       const KeptBody& /*kept*/) {
  throw QueueError("this queue keeps no message body out of memory");
}

void CheckMovedMessage(const Message& message) {
  const long characters = CountUtf8Characters(message.label);
  if (characters < 0) {
    throw InvalidMessage("message label is not valid UTF-8 text");
  }
  if (static_cast<std::size_t>(characters) > kMaxLabelLength) {
    throw InvalidMessage("message label has " + std::to_string(characters) +
                         " characters; at most " + std::to_string(kMaxLabelLength) +
                         " are allowed");
  }
  if (message.priority < kLowestPriority || message.priority > kHighestPriority) {
    throw InvalidMessage("message priority " + std::to_string(message.priority) + " is outside " +
                         std::to_string(kLowestPriority) + " to " +
                         std::to_string(kHighestPriority));
  }
}

ReceivedMessage::ReceivedMessage(Message message, std::unique_ptr<HeldMessage> hold,
                                 std::optional<std::size_t> leftOutBodySize)
    : message_(std::move(message)), hold_(std::move(hold)), leftOutBodySize_(leftOutBodySize) {}

ReceivedMessage::~ReceivedMessage() {
  if (hold_) {
    hold_->Release();
  }
}

ReceivedMessage::ReceivedMessage(ReceivedMessage&&) noexcept = default;

ReceivedMessage& ReceivedMessage::operator=(ReceivedMessage&& other) noexcept {
  if (this != &other) {
    if (hold_) {
      hold_->Release();
    }
    message_ = std::move(other.message_);
    hold_ = std::move(other.hold_);
    leftOutBodySize_ = other.leftOutBodySize_;
  }
  return *this;
}

void ReceivedMessage::Finish() {
  if (!hold_) {
    throw QueueError("the message has already been finished");
  }
  hold_->Finish();
  hold_.reset();
}

void ReceivedMessage::FinishAndSend(const std::string& pathName, const Message& next) {
  if (!hold_) {
    throw QueueError("the message has already been finished");
  }
  hold_->FinishAndSend(pathName, next);
  hold_.reset();
}

std::unique_ptr<BodyStream> ReceivedMessage::OpenBody() const {
  if (!BodyLeftOut()) {
    return std::make_unique<HeldBodyStream>(message_.body);
  }
  if (!hold_) {
    throw QueueError("the message has already been finished");
  }
  return hold_->OpenStoredBody();
}

void ReceivedMessage::FinishAndSendKeeping(const std::string& pathName, const Message& next,
                                           const KeptBody& kept) {
  if (!hold_) {
    throw QueueError("the message has already been finished");
  }
  if (kept.from > BodySize() || kept.length > BodySize() - kept.from ||
      kept.at > next.body.size()) {
    throw QueueError("the part of the body to keep lies outside the message");
  }
  if (BodyLeftOut()) {
    hold_->FinishAndSendKeeping(pathName, next, kept);
  } else {
    Message whole = next;
    whole.body.insert(kept.at, message_.body, kept.from, kept.length);
    hold_->FinishAndSend(pathName, whole);
  }
  hold_.reset();
}

void CheckMessage(const Message& message) {
  CheckMovedMessage(message);
  CheckBodySize(message, kMaxBodyBytes, "a queue");
}

void CheckBrokerMessage(const Message& message) {
  CheckMovedMessage(message);
  CheckBodySize(message, kMaxBrokerBodyBytes, "a queue on a broker");
}

std::size_t MaxBodyBytesFor(const std::string& pathName) {
  return BackendKindOf(pathName) == BackendKind::Broker ? kMaxBrokerBodyBytes : kMaxBodyBytes;
}

}  // namespace quillpost::queue
