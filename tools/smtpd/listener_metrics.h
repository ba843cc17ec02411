#pragma once

// The listener's counters, for --metrics-listen: connections, messages
// queued and their octets, refusals by kind. Fed by every session's thread.

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "session_observer.h"

namespace quillpost::smtpd {

class ListenerMetrics {
 public:
  void ConnectionOpened() { ++connections_; }
  void ConnectionRefused() { ++connectionsRefused_; }
  void Queued(const QueuedMessage& message);
  void Refused(Refusal refusal);

  // The Prometheus text; active is the count of open connections.
  std::string Render(int active) const;

 private:
  std::atomic<std::uint64_t> connections_{0};
  std::atomic<std::uint64_t> connectionsRefused_{0};
  std::atomic<std::uint64_t> messages_{0};
  std::atomic<std::uint64_t> octets_{0};
  std::array<std::atomic<std::uint64_t>, 7> refusals_{};
};

}  // namespace quillpost::smtpd
