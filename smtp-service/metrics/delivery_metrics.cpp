#include "metrics/delivery_metrics.h"

#include <algorithm>
#include <limits>
#include <string>

namespace quillpost::metrics {

void DeliveryMetrics::Sent(std::optional<std::chrono::system_clock::duration> sinceStamp) {
  const std::lock_guard lock(mutex_);
  ++sent_;
  if (!sinceStamp) {
    return;
  }
  // A clock set back since the stamp gives no negative time.
  const double seconds = std::max(0.0, std::chrono::duration<double>(*sinceStamp).count());
  const auto bucket = std::lower_bound(kDeliveryBuckets.begin(), kDeliveryBuckets.end(), seconds);
  ++buckets_.at(static_cast<std::size_t>(bucket - kDeliveryBuckets.begin()));
  ++timed_;
  timeSum_ += seconds;
}

void DeliveryMetrics::Deferred() {
  const std::lock_guard lock(mutex_);
  ++deferred_;
}

void DeliveryMetrics::NoticeSent() {
  const std::lock_guard lock(mutex_);
  ++notices_;
}

void DeliveryMetrics::DeadLettered() {
  const std::lock_guard lock(mutex_);
  ++deadLettered_;
}

void DeliveryMetrics::SendFailed(int number) {
  const std::lock_guard lock(mutex_);
  ++failures_[number];
}

void DeliveryMetrics::Write(Exposition& out) const {
  const std::lock_guard lock(mutex_);
  out.Family("quillpost_mails_sent_total", "counter",
             "Requests delivered to every recipient and removed from their queue.");
  out.Sample("quillpost_mails_sent_total", {}, sent_);
  out.Family("quillpost_mails_deferred_total", "counter",
             "Requests put on a retry queue after a failed try.");
  out.Sample("quillpost_mails_deferred_total", {}, deferred_);
  out.Family("quillpost_mails_dead_lettered_total", "counter",
             "Requests moved to the dead-letter queue.");
  out.Sample("quillpost_mails_dead_lettered_total", {}, deadLettered_);
  out.Family("quillpost_notices_sent_total", "counter",
             "Delivery status notifications queued for the senders of mails given up on.");
  out.Sample("quillpost_notices_sent_total", {}, notices_);
  out.Family("quillpost_send_failures_total", "counter",
             "Failed tries by failure number (the numbers of the activity log).");
  for (const auto& [number, count] : failures_) {
    out.Sample("quillpost_send_failures_total", {{"number", std::to_string(number)}}, count);
  }

  out.Family("quillpost_delivery_seconds", "histogram",
             "Time from the relay's first sight of a request (its stamp) until it was "
             "delivered to every recipient, retries included.");
  std::uint64_t cumulative = 0;
  for (std::size_t i = 0; i <= kDeliveryBuckets.size(); ++i) {
    cumulative += buckets_.at(i);
    const double bound = i < kDeliveryBuckets.size() ? kDeliveryBuckets.at(i)
                                                     : std::numeric_limits<double>::infinity();
    out.Sample("quillpost_delivery_seconds_bucket", {{"le", FormatValue(bound)}}, cumulative);
  }
  out.Sample("quillpost_delivery_seconds_sum", {}, timeSum_);
  out.Sample("quillpost_delivery_seconds_count", {}, timed_);
}

}  // namespace quillpost::metrics
