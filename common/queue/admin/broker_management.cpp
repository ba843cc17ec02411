#include "queue/admin/broker_management.h"

#include <curl/curl.h>

#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>

#include "queue/queue.h"

namespace quillpost::queue::broker {
namespace {

constexpr long kTimeoutSeconds = 15;
constexpr long kNotFound = 404;
constexpr long kUnauthorised = 401;

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
      current_.inHand = value > 0 ? static_cast<std::size_t>(value) : 0;
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

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

std::string BaseUrl(const BrokerAddress& address) {
  if (const char* base = std::getenv("QUILLPOST_AMQP_MANAGEMENT");
      base != nullptr && *base != '\0') {
    std::string text = base;
    while (!text.empty() && text.back() == '/') {
      text.pop_back();
    }
    return text;
  }
  const std::string host =
      address.host.find(':') == std::string::npos ? address.host : "[" + address.host + "]";
  return address.tls ? "https://" + host + ":15671" : "http://" + host + ":15672";
}

struct CurlFree {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
  void operator()(char* text) const { curl_free(text); }
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

std::vector<QueueInfo> ManagedQueues(const BrokerAddress& address) {
  const std::unique_ptr<CURL, CurlFree> curl(curl_easy_init());
  if (!curl) {
    throw QueueError("cannot set up a request to the broker's management interface");
  }
  const std::unique_ptr<char, CurlFree> vhost(
      curl_easy_escape(curl.get(), address.vhost.data(), static_cast<int>(address.vhost.size())));
  const std::string base = BaseUrl(address);
  const std::string url =
      base + "/api/queues/" + vhost.get() + "?columns=name,messages_unacknowledged";
  const std::string shown = RedactPathName(base);
  std::string body;
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_USERNAME, address.user.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_PASSWORD, address.password.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, kTimeoutSeconds);
  curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
  if (const char* ca = std::getenv("QUILLPOST_AMQP_CA_FILE"); ca != nullptr && *ca != '\0') {
    curl_easy_setopt(curl.get(), CURLOPT_CAINFO, ca);
  }
  const CURLcode result = curl_easy_perform(curl.get());
  if (result != CURLE_OK) {
    throw QueueError("listing the queues of broker " + address.Display() +
                     " needs its management interface at " + shown +
                     " (set QUILLPOST_AMQP_MANAGEMENT "
                     "to its address): " +
                     curl_easy_strerror(result));
  }
  long status = 0;
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
  if (status == kNotFound) {
    return {};
  }
  if (status == kUnauthorised) {
    throw QueueError("the management interface at " + shown + " refused the user of broker " +
                     address.Display());
  }
  if (status != 200) {
    throw QueueError("the management interface at " + shown + " answered HTTP " +
                     std::to_string(status) + " to the queue list of broker " + address.Display());
  }
  return ParseQueueList(body);
}

}  // namespace quillpost::queue::broker
