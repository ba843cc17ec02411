#pragma once

// The listening sockets: the ones systemd passes (socket activation), else
// sockets bound here to the --listen addresses.

#include <string>
#include <vector>

#include "network_list.h"
#include "posix/unique_fd.h"
#include "relay/listen_address.h"

namespace quillpost::smtpd {

struct ListenSocket {
  posix::UniqueFd socket;
  std::string name;  // 127.0.0.1:25, [::1]:25
  IpAddress address{};
};

// The sockets systemd passed; empty when it passed none. Throws
// std::runtime_error when one of them is not a listening TCP socket.
std::vector<ListenSocket> SocketsFromSystemd();

// Binds and listens on each address. Throws std::runtime_error naming the
// address and the reason.
std::vector<ListenSocket> OpenListenSockets(const std::vector<relay::ListenAddress>& addresses);

// A connected or bound socket's peer (peer) or own (!peer) address.
struct SocketAddress {
  IpAddress address{};
  std::string text;  // numeric, IPv4-mapped addresses as IPv4
  int port = 0;
};
SocketAddress AddressOf(int socket, bool peer);

}  // namespace quillpost::smtpd
