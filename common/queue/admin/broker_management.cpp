#include "queue/admin/broker_management.h"

#include <curl/curl.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <random>
#include <string_view>

#include "queue/admin/management_reply.h"
#include "queue/queue.h"

namespace quillpost::queue::broker {
namespace {

constexpr long kTimeoutSeconds = 15;
constexpr long kNotFound = 404;
constexpr long kUnauthorised = 401;
constexpr long kServerErrors = 500;
// Far above the list of a broker with a million queues; a reply past it is
// not a queue list, and is not held in memory to find that out.
constexpr std::size_t kLongestReply = std::size_t{64} << 20;

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* target) {
  auto& body = *static_cast<std::string*>(target);
  if (size * count > kLongestReply - body.size()) {
    return 0;  // libcurl ends the transfer with CURLE_WRITE_ERROR
  }
  body.append(data, size * count);
  return size * count;
}

// Every node's management interface: those of $QUILLPOST_AMQP_MANAGEMENT
// (separated by commas), else one per node of the address.
std::vector<std::string> BaseUrls(const BrokerAddress& address) {
  std::vector<std::string> urls;
  if (const char* base = std::getenv("QUILLPOST_AMQP_MANAGEMENT");
      base != nullptr && *base != '\0') {
    std::string_view list = base;
    for (;;) {
      const std::size_t comma = list.find(',');
      std::string url(list.substr(0, comma));
      while (!url.empty() && (url.back() == '/' || url.back() == ' ')) {
        url.pop_back();
      }
      url.erase(0, url.find_first_not_of(' '));
      if (!url.empty()) {
        urls.push_back(std::move(url));
      }
      if (comma == std::string_view::npos) {
        return urls;
      }
      list.remove_prefix(comma + 1);
    }
  }
  for (const BrokerNode& node : address.nodes) {
    const std::string host =
        node.host.find(':') == std::string::npos ? node.host : "[" + node.host + "]";
    urls.push_back(address.tls ? "https://" + host + ":15671" : "http://" + host + ":15672");
  }
  return urls;
}

struct CurlFree {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
  void operator()(char* text) const { curl_free(text); }
};

// The queue list from the management interface at base; nullopt (with the
// reason added to failures) when that interface cannot answer, so that the
// next one may. Throws QueueError for an answer that no other node would
// better.
std::optional<std::vector<QueueInfo>> AskForQueues(const BrokerAddress& address,
                                                   const std::string& base, std::string& failures) {
  const std::unique_ptr<CURL, CurlFree> curl(curl_easy_init());
  if (!curl) {
    throw QueueError("cannot set up a request to the broker's management interface");
  }
  const std::unique_ptr<char, CurlFree> vhost(
      curl_easy_escape(curl.get(), address.vhost.data(), static_cast<int>(address.vhost.size())));
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
  if (result == CURLE_WRITE_ERROR) {
    throw QueueError("the management interface at " + shown + " answered more than 64 MiB to " +
                     "the queue list of broker " + address.Display());
  }
  const std::string separator = failures.empty() ? "" : "; ";
  if (result != CURLE_OK) {
    failures += separator + shown + ": " + curl_easy_strerror(result);
    return std::nullopt;
  }
  long status = 0;
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
  if (status == kNotFound) {
    return std::vector<QueueInfo>{};
  }
  if (status == kUnauthorised) {
    throw QueueError("the management interface at " + shown + " refused the user of broker " +
                     address.Display());
  }
  if (status >= kServerErrors) {
    // A node that is starting or stopping.
    failures += separator + shown + ": HTTP " + std::to_string(status);
    return std::nullopt;
  }
  if (status != 200) {
    throw QueueError("the management interface at " + shown + " answered HTTP " +
                     std::to_string(status) + " to the queue list of broker " + address.Display());
  }
  return ParseQueueList(body);
}

}  // namespace

std::vector<QueueInfo> ManagedQueues(const BrokerAddress& address) {
  const std::vector<std::string> bases = BaseUrls(address);
  if (bases.empty()) {
    throw QueueError("QUILLPOST_AMQP_MANAGEMENT names no management interface");
  }
  // Any node answers for the whole cluster: start at a random one, and go on
  // to the next when one cannot be reached or is not ready.
  std::random_device random;
  const std::size_t first = std::uniform_int_distribution<std::size_t>(0, bases.size() - 1)(random);
  std::string failures;
  for (std::size_t tried = 0; tried < bases.size(); ++tried) {
    const std::string& base = bases[(first + tried) % bases.size()];
    if (std::optional<std::vector<QueueInfo>> queues = AskForQueues(address, base, failures)) {
      return std::move(*queues);
    }
  }
  throw QueueError("listing the queues of broker " + address.Display() +
                   " needs its management interface (set QUILLPOST_AMQP_MANAGEMENT to its "
                   "address, or the addresses of several nodes separated by commas): " +
                   failures);
}

}  // namespace quillpost::queue::broker
