#include "listener.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <thread>

#include "socket_transport.h"
#include "tls_server.h"

namespace quillpost::smtpd {

Listener::Listener(std::vector<ListenSocket> sockets, ListenerSetup setup, MessageSink& sink,
                   SessionObserver& observer, ListenerMetrics& metrics)
    : sockets_(std::move(sockets)),
      setup_(std::move(setup)),
      sink_(sink),
      observer_(observer),
      metrics_(metrics),
      limits_(setup_.maxConnections, setup_.maxConnectionsPerClient) {}

bool Listener::Run(int stop, std::chrono::milliseconds drain) {
  std::vector<pollfd> watched;
  for (const ListenSocket& socket : sockets_) {
    watched.push_back({socket.socket.Get(), POLLIN, 0});
  }
  watched.push_back({stop, POLLIN, 0});
  for (;;) {
    if (::poll(watched.data(), watched.size(), -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      std::cerr << "quillpost-smtpd: waiting for connections failed: " << std::strerror(errno)
                << '\n';
      break;
    }
    if (watched.back().revents != 0) {
      break;
    }
    for (std::size_t i = 0; i + 1 < watched.size(); ++i) {
      if (watched[i].revents != 0) {
        Accept(watched[i].fd);
      }
    }
  }
  sockets_.clear();
  limits_.EndAll();
  return limits_.WaitForNone(drain);
}

void Listener::Accept(int listening) {
  posix::UniqueFd client(::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  if (!client.Valid()) {
    // ECONNABORTED, EMFILE and the like: this client is lost, the next one
    // may do.
    return;
  }
  const int yes = 1;
  ::setsockopt(client.Get(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  const SocketAddress peer = AddressOf(client.Get(), true);
  const Admission admission = limits_.Admit(peer.address, client.Get());
  if (admission != Admission::Admitted) {
    metrics_.ConnectionRefused();
    const std::string reply =
        admission == Admission::TooManyInTotal
            ? "421 4.7.0 Too many connections; try again later\r\n"
            : "421 4.7.0 Too many connections from your address; try again later\r\n";
    [[maybe_unused]] const ssize_t sent =
        ::send(client.Get(), reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return;
  }
  metrics_.ConnectionOpened();
  ClientInfo info{peer.text, setup_.allowNetworks.Contains(peer.address)};
  const int socket = client.Get();
  try {
    std::thread([this, owned = std::move(client), info = std::move(info), peer]() mutable {
      {
        SessionSecurity security{nullptr, setup_.authenticator};
        if (setup_.tls != nullptr) {
          security.startTls = [this, fd = owned.Get()](std::unique_ptr<Transport>) {
            return setup_.tls->Start(fd, setup_.limits.commandTimeout);
          };
        }
        Session session(std::make_unique<SocketTransport>(owned.Get()), setup_.limits, info,
                        std::move(security), sink_, observer_);
        session.Run();
      }
      // The last step that touches the listener, once the session is gone;
      // counted out before the socket closes, so that EndAll never touches a
      // number the system has given to another file.
      limits_.Release(peer.address, owned.Get());
    }).detach();
  } catch (const std::system_error& error) {
    // No thread to be had: the connection closes, the client tries later.
    limits_.Release(peer.address, socket);
    std::cerr << "quillpost-smtpd: cannot start a session: " << error.what() << '\n';
  }
}

}  // namespace quillpost::smtpd
