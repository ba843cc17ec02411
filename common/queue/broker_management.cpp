#include "queue/broker_management.h"

#include <curl/curl.h>

#include <cstdlib>
#include <memory>

#include "queue/queue.h"

namespace quillpost::queue::broker {
namespace {

constexpr long kTimeoutSeconds = 15;
constexpr long kNotFound = 404;
constexpr long kUnauthorised = 401;

// A small reader for the interface's JSON: values are skipped except the
// strings and numbers of the fields asked for.
class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  std::vector<QueueInfo> QueueList() {
    std::vector<QueueInfo> queues;
    Expect('[');
    if (Peek() == ']') {
      ++pos_;
      if (Peek() != '\0') {
        Bad("text after the list");
      }
      return queues;
    }
    for (;;) {
      queues.push_back(Queue());
      const char next = Next();
      if (next == ']') {
        break;
      }
      if (next != ',') {
        Bad("expected ',' or ']'");
      }
    }
    if (Peek() != '\0') {
      Bad("text after the list");
    }
    return queues;
  }

 private:
  QueueInfo Queue() {
    QueueInfo queue;
    Expect('{');
    if (Peek() == '}') {
      ++pos_;
      Bad("a queue without a name");
    }
    bool named = false;
    for (;;) {
      const std::string key = String();
      Expect(':');
      if (key == "name") {
        queue.name = String();
        named = true;
      } else if (key == "messages_unacknowledged" && (Peek() == '-' || IsDigit(Peek()))) {
        queue.inHand = static_cast<std::size_t>(Number());
      } else {
        SkipValue();
      }
      const char next = Next();
      if (next == '}') {
        break;
      }
      if (next != ',') {
        Bad("expected ',' or '}'");
      }
    }
    if (!named) {
      Bad("a queue without a name");
    }
    return queue;
  }

  static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

  char Peek() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\n' ||
                                   text_[pos_] == '\r' || text_[pos_] == '\t')) {
      ++pos_;
    }
    return pos_ < text_.size() ? text_[pos_] : '\0';
  }
  char Next() {
    const char c = Peek();
    if (c == '\0') {
      Bad("unexpected end");
    }
    ++pos_;
    return c;
  }
  void Expect(char c) {
    if (Next() != c) {
      Bad(std::string("expected '") + c + "'");
    }
  }

  std::string String() {
    Expect('"');
    std::string out;
    for (;;) {
      if (pos_ >= text_.size()) {
        Bad("unterminated string");
      }
      const char c = text_[pos_++];
      if (c == '"') {
        return out;
      }
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (pos_ >= text_.size()) {
        Bad("unterminated string");
      }
      const char escaped = text_[pos_++];
      switch (escaped) {
        case 'n':
          out.push_back('\n');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'r':
          out.push_back('\r');
          break;
        case 'b':
          out.push_back('\b');
          break;
        case 'f':
          out.push_back('\f');
          break;
        case 'u': {
          if (pos_ + 4 > text_.size()) {
            Bad("short \\u escape");
          }
          const unsigned long code =
              std::strtoul(std::string(text_.substr(pos_, 4)).c_str(), nullptr, 16);
          pos_ += 4;
          // Queue names are ASCII; anything else is kept as a marker.
          out.push_back(code < 0x80 ? static_cast<char>(code) : '?');
          break;
        }
        default:
          out.push_back(escaped);
          break;
      }
    }
  }

  double Number() {
    Peek();
    const std::size_t start = pos_;
    while (pos_ < text_.size() &&
           (IsDigit(text_[pos_]) || text_[pos_] == '-' || text_[pos_] == '+' ||
            text_[pos_] == '.' || text_[pos_] == 'e' || text_[pos_] == 'E')) {
      ++pos_;
    }
    const double value =
        std::strtod(std::string(text_.substr(start, pos_ - start)).c_str(), nullptr);
    return value < 0 ? 0 : value;
  }

  void SkipValue() {
    const char c = Peek();
    if (c == '"') {
      String();
    } else if (c == '{' || c == '[') {
      const char close = c == '{' ? '}' : ']';
      ++pos_;
      if (Peek() == close) {
        ++pos_;
        return;
      }
      for (;;) {
        if (c == '{') {
          String();
          Expect(':');
        }
        SkipValue();
        const char next = Next();
        if (next == close) {
          return;
        }
        if (next != ',') {
          Bad("expected ','");
        }
      }
    } else if (c == '-' || IsDigit(c)) {
      Number();
    } else {
      for (const std::string_view word : {"true", "false", "null"}) {
        if (text_.substr(pos_).starts_with(word)) {
          pos_ += word.size();
          return;
        }
      }
      Bad("unexpected character");
    }
  }

  [[noreturn]] void Bad(const std::string& what) const {
    throw QueueError("the broker's management interface sent an unreadable queue list (" + what +
                     " at character " + std::to_string(pos_) + ")");
  }

  std::string_view text_;
  std::size_t pos_ = 0;
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
  return JsonReader(json).QueueList();
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
