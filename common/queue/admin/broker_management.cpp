#include "queue/admin/broker_management.h"

#include <curl/curl.h>

#include <cstdlib>
#include <memory>

#include "queue/admin/management_reply.h"
#include "queue/queue.h"

namespace quillpost::queue::broker {
namespace {

constexpr long kTimeoutSeconds = 15;
constexpr long kNotFound = 404;
constexpr long kUnauthorised = 401;
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
  if (result == CURLE_WRITE_ERROR) {
    throw QueueError("the management interface at " + shown + " answered more than 64 MiB to " +
                     "the queue list of broker " + address.Display());
  }
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
