#include "metrics/metrics_service.h"

namespace quillpost::metrics {

MetricsService::MetricsService(const relay::ListenAddress& address,
                               std::vector<WatchedQueue> queues)
    : gauges_(std::move(queues)), server_(address, [this] {
        Exposition out;
        deliveries_.Write(out);
        gauges_.Write(out);
        return out.Text();
      }) {}

}  // namespace quillpost::metrics
