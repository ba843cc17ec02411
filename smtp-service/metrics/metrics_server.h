#pragma once

// A small HTTP server on libmicrohttpd that answers GET /metrics with the
// text that render gives, and 404 for any other path. It serves from a thread
// of its own, so render must be safe to call from there; it runs whether the
// relay shows a window or not.

#include <functional>
#include <memory>
#include <string>

#include "relay/listen_address.h"

struct MHD_Daemon;

namespace quillpost::metrics {

class MetricsServer {
 public:
  using Render = std::function<std::string()>;

  // Listens on address at once. Throws std::runtime_error naming the address
  // and the reason when it cannot (in use, not an address of this host).
  MetricsServer(const relay::ListenAddress& address, Render render);
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Called by libmicrohttpd's thread.
  std::string RenderText() const { return render_(); }

 private:
  struct StopDaemon {
    void operator()(MHD_Daemon* daemon) const;
  };

  Render render_;
  std::unique_ptr<MHD_Daemon, StopDaemon> daemon_;
};

}  // namespace quillpost::metrics
