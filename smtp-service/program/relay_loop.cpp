#include "program/relay_loop.h"

#include "eventlog/event_log.h"
#include "relay/current_failure.h"

namespace quillpost::program {

RelayLoop::RelayLoop() {
  retryswap_.setTimerType(Qt::CoarseTimer);
  quietSweep_.setSingleShot(true);
  quietSweep_.setTimerType(Qt::CoarseTimer);
  QObject::connect(&quietSweep_, &QTimer::timeout, [this] {
    if (sweep_) {
      sweep_();
    }
  });
}

RelayLoop::~RelayLoop() = default;

void RelayLoop::SetInterval(std::chrono::milliseconds interval) {
  if (interval.count() <= 0) {
    retryswap_.stop();
    return;
  }
  retryswap_.start(interval);
}

void RelayLoop::SetQuietSweep(std::chrono::milliseconds quietTime, std::function<void()> sweep) {
  quietSweep_.setInterval(quietTime);
  sweep_ = std::move(sweep);
}

void RelayLoop::Attach(relay::Status& status) {
  QObject::connect(&retryswap_, &QTimer::timeout, [&status] { status.retryswap_Timer(); });

  signalNotifier_ =
      std::make_unique<QSocketNotifier>(signals_.ReadDescriptor(), QSocketNotifier::Read);
  QObject::connect(signalNotifier_.get(), &QSocketNotifier::activated, [this, &status] {
    signals_.Drain();
    status.Shutdown();
  });

  for (queue::OpenQueue* open :
       {status.InboundQueue.get(), status.RetryQueueA.get(), status.RetryQueueB.get()}) {
    if (open != nullptr) {
      Watch(*open);
    }
  }
}

void RelayLoop::Watch(queue::OpenQueue& queue) {
  auto notifier =
      std::make_unique<QSocketNotifier>(queue.NotificationDescriptor(), QSocketNotifier::Read);
  QObject::connect(notifier.get(), &QSocketNotifier::activated, [this, &queue] {
    try {
      queue.DeliverNotification();
    } catch (...) {
      eventlog::ReportError("quillpost-smtp: arrival report of queue " +
                            queue::RedactPathName(queue.PathName()) +
                            " failed: " + relay::CurrentFailure());
    }
    if (sweep_) {
      quietSweep_.start();
    }
  });
  queueNotifiers_.push_back(std::move(notifier));
}

}  // namespace quillpost::program
