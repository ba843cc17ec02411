#pragma once

// Accepts connections on the listening sockets and runs each client's
// session on a thread of its own, within the connection limits.
//
// A thread per connection rather than one event loop: a session's only slow
// step is Send waiting for the disk, and sessions that wait together share
// one flush of the store (its group commit), which an event loop would have
// to rebuild with a pool of its own. The limits bound the threads.

#include <chrono>
#include <vector>

#include "connection_limits.h"
#include "listen_sockets.h"
#include "listener_metrics.h"
#include "message_sink.h"
#include "session.h"
#include "session_observer.h"

namespace quillpost::smtpd {

class TlsServer;

struct ListenerSetup {
  SessionLimits limits;
  const TlsServer* tls = nullptr;                // STARTTLS offered when set
  const Authenticator* authenticator = nullptr;  // AUTH offered under TLS when set
  NetworkList allowNetworks;
  int maxConnections = 100;
  int maxConnectionsPerClient = 10;
};

class Listener {
 public:
  Listener(std::vector<ListenSocket> sockets, ListenerSetup setup, MessageSink& sink,
           SessionObserver& observer, ListenerMetrics& metrics);

  // Accepts until stop (a descriptor) becomes readable; then ends every
  // session once it has answered what it is doing, waiting at most drain.
  // False when sessions were still running at the end of drain.
  bool Run(int stop, std::chrono::milliseconds drain);

  int Active() const { return limits_.Active(); }

 private:
  void Accept(int listening);

  std::vector<ListenSocket> sockets_;
  ListenerSetup setup_;
  MessageSink& sink_;
  SessionObserver& observer_;
  ListenerMetrics& metrics_;
  ConnectionLimits limits_;
};

}  // namespace quillpost::smtpd
