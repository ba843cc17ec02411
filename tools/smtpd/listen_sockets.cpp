#include "listen_sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>

#include <cstring>
#include <stdexcept>

#include "posix/system_error.h"

namespace quillpost::smtpd {
namespace {

constexpr int kBacklog = 128;

std::string NameOf(const SocketAddress& address) {
  return (address.text.find(':') != std::string::npos ? "[" + address.text + "]" : address.text) +
         ":" + std::to_string(address.port);
}

}  // namespace

SocketAddress AddressOf(int socket, bool peer) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  const int rc = peer ? ::getpeername(socket, reinterpret_cast<sockaddr*>(&storage), &length)
                      : ::getsockname(socket, reinterpret_cast<sockaddr*>(&storage), &length);
  SocketAddress result;
  if (rc != 0) {
    return result;
  }
  char text[INET6_ADDRSTRLEN] = {};
  if (storage.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&storage);
    ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    result.port = ntohs(v4->sin_port);
  } else if (storage.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&storage);
    if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
      ::inet_ntop(AF_INET, v6->sin6_addr.s6_addr + 12, text, sizeof text);
    } else {
      ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    }
    result.port = ntohs(v6->sin6_port);
  }
  result.text = text;
  result.address = ParseIpAddress(result.text).value_or(IpAddress{});
  return result;
}

std::vector<ListenSocket> SocketsFromSystemd() {
  const int count = sd_listen_fds(1);
  if (count < 0) {
    throw std::runtime_error(std::string("cannot take the sockets from systemd: ") +
                             std::strerror(-count));
  }
  std::vector<ListenSocket> sockets;
  for (int fd = SD_LISTEN_FDS_START; fd < SD_LISTEN_FDS_START + count; ++fd) {
    if (sd_is_socket(fd, AF_UNSPEC, SOCK_STREAM, 1) <= 0) {
      throw std::runtime_error("systemd passed descriptor " + std::to_string(fd) +
                               ", which is not a listening stream socket");
    }
    const SocketAddress own = AddressOf(fd, false);
    sockets.push_back({posix::UniqueFd(fd), NameOf(own), own.address});
  }
  return sockets;
}

std::vector<ListenSocket> OpenListenSockets(const std::vector<relay::ListenAddress>& addresses) {
  std::vector<ListenSocket> sockets;
  for (const relay::ListenAddress& address : addresses) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (address.ipv6) {
      auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
      v6->sin6_family = AF_INET6;
      v6->sin6_port = htons(static_cast<std::uint16_t>(address.port));
      ::inet_pton(AF_INET6, address.host.c_str(), &v6->sin6_addr);
      length = sizeof *v6;
    } else {
      auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
      v4->sin_family = AF_INET;
      v4->sin_port = htons(static_cast<std::uint16_t>(address.port));
      ::inet_pton(AF_INET, address.host.c_str(), &v4->sin_addr);
      length = sizeof *v4;
    }
    posix::UniqueFd socket(::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    posix::Require<std::runtime_error>(socket.Valid(),
                                       "cannot open a socket for " + address.Text());
    const int yes = 1;
    ::setsockopt(socket.Get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (address.ipv6) {
      ::setsockopt(socket.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes);
    }
    posix::Require<std::runtime_error>(
        ::bind(socket.Get(), reinterpret_cast<const sockaddr*>(&storage), length) == 0 &&
            ::listen(socket.Get(), kBacklog) == 0,
        "cannot listen on " + address.Text());
    const SocketAddress own = AddressOf(socket.Get(), false);
    sockets.push_back({std::move(socket), NameOf(own), own.address});
  }
  return sockets;
}

}  // namespace quillpost::smtpd
