#pragma once

// How many requests wait on the inbound and the two retry queues, and how old
// the oldest of them is, read from the queue layer at most once a second
// however often a monitor asks. Used by the metrics server's thread only;
// it opens the queues on its own, apart from the relay's.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "metrics/exposition.h"

namespace quillpost::metrics {

struct WatchedQueue {
  std::string role;      // the "queue" label: inbound, retry_a, retry_b
  std::string pathName;  // as the relay opens it
};

class QueueGauges {
 public:
  explicit QueueGauges(std::vector<WatchedQueue> queues);

  void Write(Exposition& out);

 private:
  struct Reading {
    WatchedQueue queue;
    bool readable = false;
    std::size_t waiting = 0;
    std::optional<std::int64_t> headNumber;
    // Since when the head request has waited: its stamp, or, for a request
    // the relay has not taken yet (no stamp), when it was first seen first.
    std::optional<std::chrono::system_clock::time_point> headSince;
    std::string failure;  // of the last reading; reported when it changes
  };

  void Refresh(std::chrono::steady_clock::time_point now);
  static void Read(Reading& reading);

  std::mutex mutex_;
  std::vector<Reading> readings_;
  std::optional<std::chrono::steady_clock::time_point> lastRefresh_;
};

}  // namespace quillpost::metrics
