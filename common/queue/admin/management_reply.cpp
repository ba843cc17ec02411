#include "queue/admin/management_reply.h"

#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

#include "queue/queue.h"

namespace quillpost::queue::broker {
namespace {

constexpr std::size_t kMaxDepth = 64;

// Reads the queue list as nlohmann-json's parser reports it, without building
// a tree: a list of objects, of which only "name" and
// "messages_unacknowledged" are kept. Nesting deeper than kMaxDepth stops the
// parser at once, so no reply can exhaust memory or the stack.
class QueueListReader {
 public:
  using json = nlohmann::json;

  bool null() { return Other(); }
  bool boolean(bool /*value*/) { return Other(); }
  bool number_integer(json::number_integer_t value) { return Count(static_cast<double>(value)); }
  bool number_unsigned(json::number_unsigned_t value) { return Count(static_cast<double>(value)); }
  bool number_float(json::number_float_t value, const json::string_t& /*text*/) {
    return Count(value);
  }
  bool string(json::string_t& value) {
    if (depth_ == 2 && key_ == "name") {
      current_.name = std::move(value);
      named_ = true;
      return true;
    }
    return Other();
  }
  bool binary(json::binary_t& /*value*/) { return Other(); }

  bool start_object(std::size_t /*size*/) {
    if (depth_ == 1) {
      current_ = {};
      named_ = false;
    } else if (!Other()) {
      return false;
    }
    return Enter();
  }
  bool key(json::string_t& key) {
    if (depth_ == 2) {
      key_ = std::move(key);
    }
    return true;
  }
  bool end_object() {
    if (--depth_ == 1) {
      if (!named_) {
        return Fail("a queue without a name");
      }
      queues_.push_back(std::move(current_));
    }
    return true;
  }
  bool start_array(std::size_t /*size*/) {
    if (depth_ > 0 && !Other()) {
      return false;
    }
    return Enter();
  }
  bool end_array() {
    --depth_;
    return true;
  }
  bool parse_error(std::size_t position, const std::string& /*token*/,
                   const nlohmann::detail::exception& /*error*/) {
    return Fail("malformed JSON at character " + std::to_string(position));
  }

  const std::string& Failure() const { return failure_; }
  std::vector<QueueInfo> Take() { return std::move(queues_); }

 private:
  // A value other than a queue's name or count, or a nested container.
  bool Other() {
    if (depth_ == 0) {
      return Fail("not a list");
    }
    if (depth_ == 1) {
      return Fail("a list entry that is not a queue");
    }
    if (depth_ == 2 && key_ == "name") {
      return Fail("a queue name that is not text");
    }
    return true;
  }
  bool Count(double value) {
    if (depth_ == 2 && key_ == "messages_unacknowledged") {
      constexpr auto kMost = std::numeric_limits<std::size_t>::max();
      current_.inHand = value <= 0                            ? 0
                        : value >= static_cast<double>(kMost) ? kMost
                                                              : static_cast<std::size_t>(value);
      return true;
    }
    return Other();
  }
  bool Enter() {
    if (++depth_ > kMaxDepth) {
      return Fail("nested deeper than " + std::to_string(kMaxDepth) + " levels");
    }
    return true;
  }
  bool Fail(std::string why) {
    if (failure_.empty()) {
      failure_ = std::move(why);
    }
    return false;
  }

  std::size_t depth_ = 0;
  std::string key_;
  QueueInfo current_;
  bool named_ = false;
  std::vector<QueueInfo> queues_;
  std::string failure_;
};

}  // namespace

std::vector<QueueInfo> ParseQueueList(std::string_view json) {
  QueueListReader reader;
  if (!nlohmann::json::sax_parse(json.begin(), json.end(), &reader)) {
    throw QueueError("the broker's management interface sent an unreadable queue list (" +
                     (reader.Failure().empty() ? std::string("malformed JSON") : reader.Failure()) +
                     ")");
  }
  return reader.Take();
}

}  // namespace quillpost::queue::broker
