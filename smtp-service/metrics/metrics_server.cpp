#include "metrics/metrics_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "metrics/exposition.h"
#include "posix/unique_fd.h"

namespace quillpost::metrics {
namespace {

constexpr unsigned kMostConnections = 16;
constexpr unsigned kConnectionTimeoutSeconds = 10;
constexpr int kListenBacklog = 16;

[[noreturn]] void CannotListen(const relay::ListenAddress& address, int error) {
  throw std::runtime_error("cannot serve metrics on " + address.Text() + ": " +
                           std::strerror(error));
}

// Bound here rather than by libmicrohttpd, so that a failure names its reason.
posix::UniqueFd Listen(const relay::ListenAddress& address) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  if (address.ipv6) {
    auto& v6 = reinterpret_cast<sockaddr_in6&>(storage);
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<std::uint16_t>(address.port));
    ::inet_pton(AF_INET6, address.host.c_str(), &v6.sin6_addr);
    length = sizeof v6;
  } else {
    auto& v4 = reinterpret_cast<sockaddr_in&>(storage);
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<std::uint16_t>(address.port));
    ::inet_pton(AF_INET, address.host.c_str(), &v4.sin_addr);
    length = sizeof v4;
  }
  posix::UniqueFd socket(
      ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!socket.Valid()) {
    CannotListen(address, errno);
  }
  const int yes = 1;
  ::setsockopt(socket.Get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  if (address.ipv6) {
    ::setsockopt(socket.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes);
  }
  if (::bind(socket.Get(), reinterpret_cast<const sockaddr*>(&storage), length) != 0 ||
      ::listen(socket.Get(), kListenBacklog) != 0) {
    CannotListen(address, errno);
  }
  return socket;
}

MHD_Result Answer(MHD_Connection* connection, unsigned status, std::string_view body,
                  std::string_view contentType) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) {
    return MHD_NO;
  }
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, std::string(contentType).c_str());
  if (status == MHD_HTTP_METHOD_NOT_ALLOWED) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  }
  const MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

MHD_Result HandleRequest(void* server, MHD_Connection* connection, const char* url,
                         const char* method, const char* /*version*/, const char* /*uploadData*/,
                         std::size_t* uploadSize, void** /*requestState*/) {
  constexpr std::string_view kPlain = "text/plain; charset=utf-8";
  const std::string_view verb(method);
  if (verb != MHD_HTTP_METHOD_GET && verb != MHD_HTTP_METHOD_HEAD) {
    *uploadSize = 0;  // a body, if any, is not read
    return Answer(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "Only GET and HEAD are served.\n",
                  kPlain);
  }
  if (std::string_view(url) != "/metrics") {
    return Answer(connection, MHD_HTTP_NOT_FOUND, "Not found; the metrics are at /metrics.\n",
                  kPlain);
  }
  std::string text;
  try {
    text = static_cast<const MetricsServer*>(server)->RenderText();
  } catch (const std::exception& e) {
    return Answer(connection, MHD_HTTP_INTERNAL_SERVER_ERROR,
                  std::string("cannot gather the metrics: ") + e.what() + "\n", kPlain);
  }
  return Answer(connection, MHD_HTTP_OK, text, kExpositionContentType);
}

}  // namespace

void MetricsServer::StopDaemon::operator()(MHD_Daemon* daemon) const {
  MHD_stop_daemon(daemon);
}

MetricsServer::MetricsServer(const relay::ListenAddress& address, Render render)
    : render_(std::move(render)) {
  posix::UniqueFd socket = Listen(address);
  const unsigned flags =
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_ERROR_LOG | (address.ipv6 ? MHD_USE_IPv6 : 0);
  daemon_.reset(
      MHD_start_daemon(flags, 0, nullptr, nullptr, &HandleRequest, this, MHD_OPTION_LISTEN_SOCKET,
                       socket.Get(), MHD_OPTION_CONNECTION_LIMIT, kMostConnections,
                       MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutSeconds, MHD_OPTION_END));
  if (!daemon_) {
    throw std::runtime_error("cannot serve metrics on " + address.Text() +
                             ": the HTTP server did not start");
  }
  socket.Release();  // the daemon closes it when it stops
}

MetricsServer::~MetricsServer() = default;

}  // namespace quillpost::metrics
