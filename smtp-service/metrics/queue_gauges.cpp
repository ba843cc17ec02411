#include "metrics/queue_gauges.h"

#include <algorithm>
#include <exception>

#include "eventlog/event_log.h"
#include "queue/queue.h"

namespace quillpost::metrics {
namespace {

constexpr std::chrono::seconds kRefreshInterval{1};

}  // namespace

QueueGauges::QueueGauges(std::vector<WatchedQueue> queues) {
  for (WatchedQueue& queue : queues) {
    Reading reading;
    reading.queue = std::move(queue);
    readings_.push_back(std::move(reading));
  }
}

void QueueGauges::Read(Reading& reading) {
  try {
    const queue::QueueDepth depth =
        queue::QueuePath(reading.queue.pathName).Depth(reading.headNumber);
    reading.readable = true;
    reading.failure.clear();
    reading.waiting = depth.waiting;
    if (!depth.headNumber) {
      reading.headSince.reset();
    } else if (depth.headNumber != reading.headNumber || depth.headArrived) {
      const auto now = std::chrono::system_clock::now();
      const auto arrived = depth.headArrived.value_or(now);
      reading.headSince = arrived.time_since_epoch().count() > 0 && arrived <= now ? arrived : now;
    }
    reading.headNumber = depth.headNumber;
  } catch (const std::exception& e) {
    reading.readable = false;
    reading.headNumber.reset();
    reading.headSince.reset();
    if (reading.failure != e.what()) {
      reading.failure = e.what();
      eventlog::ReportError("quillpost-smtp: cannot read the depth of queue " +
                            queue::RedactPathName(reading.queue.pathName) +
                            " for the metrics: " + reading.failure);
    }
  }
}

void QueueGauges::Refresh(std::chrono::steady_clock::time_point now) {
  if (lastRefresh_ && now - *lastRefresh_ < kRefreshInterval) {
    return;
  }
  lastRefresh_ = now;
  for (Reading& reading : readings_) {
    Read(reading);
  }
}

void QueueGauges::Write(Exposition& out) {
  const std::lock_guard lock(mutex_);
  Refresh(std::chrono::steady_clock::now());
  out.Family("quillpost_queue_waiting_requests", "gauge",
             "Requests waiting on a queue of the relay, due or not, not counting those in hand "
             "(on a broker: those ready). Missing while the queue cannot be read.");
  std::optional<std::chrono::system_clock::time_point> oldest;
  for (const Reading& reading : readings_) {
    if (!reading.readable) {
      continue;
    }
    out.Sample("quillpost_queue_waiting_requests", {{"queue", reading.queue.role}},
               static_cast<std::uint64_t>(reading.waiting));
    if (reading.headSince && (!oldest || *reading.headSince < *oldest)) {
      oldest = reading.headSince;
    }
  }
  out.Family("quillpost_oldest_waiting_request_age_seconds", "gauge",
             "Age of the oldest request first in line on the inbound and retry queues, from "
             "the relay's first sight of it (its stamp; a request not taken yet counts from "
             "when it was first seen first in line). 0 when none waits; broker queues are "
             "not looked into.");
  const double age =
      oldest
          ? std::max(
                0.0,
                std::chrono::duration<double>(std::chrono::system_clock::now() - *oldest).count())
          : 0.0;
  out.Sample("quillpost_oldest_waiting_request_age_seconds", {}, age);
}

}  // namespace quillpost::metrics
