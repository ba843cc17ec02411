#pragma once

// The relay's outcomes as counters and a histogram of delivery times. The
// relay's thread adds to them; the metrics server's thread reads them, so
// every access holds the one lock.

#include <array>
#include <cstdint>
#include <map>
#include <mutex>

#include "metrics/exposition.h"
#include "relay/delivery_observer.h"

namespace quillpost::metrics {

// Upper bounds, in seconds, of the delivery time buckets: a first try takes
// well under a second to a few seconds, a request that waited for retries
// minutes to days (up to the 5 days a failing request is kept by default).
inline constexpr std::array<double, 13> kDeliveryBuckets = {0.1, 0.25, 0.5, 1,   2.5,  5,    10,
                                                            30,  60,   300, 900, 3600, 86400};

class DeliveryMetrics final : public relay::DeliveryObserver {
 public:
  void Sent(std::optional<std::chrono::system_clock::duration> sinceStamp) override;
  void Deferred() override;
  void DeadLettered() override;
  void SendFailed(int number) override;
  void NoticeSent() override;

  void Write(Exposition& out) const;

 private:
  mutable std::mutex mutex_;
  std::uint64_t sent_ = 0;
  std::uint64_t deferred_ = 0;
  std::uint64_t deadLettered_ = 0;
  std::uint64_t notices_ = 0;
  std::map<int, std::uint64_t> failures_;  // by failure number
  // Not cumulative: bucket i counts times above bound i-1 up to bound i; the
  // last one counts those above every bound.
  std::array<std::uint64_t, kDeliveryBuckets.size() + 1> buckets_{};
  std::uint64_t timed_ = 0;
  double timeSum_ = 0;
};

}  // namespace quillpost::metrics
