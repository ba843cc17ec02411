#pragma once

// What quillpost-smtp --metrics-listen serves: the outcome counters, fed by
// the relay, and the queue gauges, behind the HTTP server.

#include <vector>

#include "metrics/delivery_metrics.h"
#include "metrics/metrics_server.h"
#include "metrics/queue_gauges.h"

namespace quillpost::metrics {

class MetricsService {
 public:
  // Throws std::runtime_error when it cannot listen on address.
  MetricsService(const relay::ListenAddress& address, std::vector<WatchedQueue> queues);

  // To be attached to the relay.
  relay::DeliveryObserver& Observer() { return deliveries_; }

 private:
  DeliveryMetrics deliveries_;
  QueueGauges gauges_;
  // Last: it stops, and so stops reading the others, before they go.
  MetricsServer server_;
};

}  // namespace quillpost::metrics
