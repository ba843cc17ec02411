#include "program/relay_loop.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "eventlog/event_log.h"
#include "posix/event_fd.h"
#include "posix/system_error.h"
#include "relay/current_failure.h"

namespace quillpost::program {
namespace {

[[noreturn]] void ThrowSystem(const std::string& what) {
  posix::ThrowSystem<std::runtime_error>("cannot " + what);
}

posix::UniqueFd MakeTimer() {
  posix::UniqueFd timer(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
  if (!timer.Valid()) {
    ThrowSystem("create a timer");
  }
  return timer;
}

// Starts `timer` to fire after `first`, then every `period` (zero: once);
// zero for both stops it.
void SetTimer(const posix::UniqueFd& timer, std::chrono::nanoseconds first,
              std::chrono::nanoseconds period) {
  const auto toTimespec = [](std::chrono::nanoseconds span) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(span);
    return timespec{static_cast<time_t>(seconds.count()),
                    static_cast<long>((span - seconds).count())};
  };
  const itimerspec setting{toTimespec(period), toTimespec(first)};
  if (::timerfd_settime(timer.Get(), 0, &setting, nullptr) != 0) {
    ThrowSystem("set a timer");
  }
}

// Clears a timer's readiness; answers whether it had fired.
bool TakeExpiry(const posix::UniqueFd& timer) {
  std::uint64_t expirations = 0;
  return ::read(timer.Get(), &expirations, sizeof expirations) == sizeof expirations &&
         expirations > 0;
}

}  // namespace

RelayLoop::RelayLoop()
    : epoll_(posix::NewEpoll()), retryswap_(MakeTimer()), quietSweep_(MakeTimer()) {
  if (!epoll_.Valid()) {
    ThrowSystem("create the event loop");
  }
  Watch(quietSweep_.Get(), [this] {
    if (TakeExpiry(quietSweep_) && sweep_) {
      sweep_();
    }
  });
}

void RelayLoop::SetInterval(std::chrono::milliseconds interval) {
  if (interval.count() <= 0) {
    SetTimer(retryswap_, {}, {});
    return;
  }
  SetTimer(retryswap_, interval, interval);
}

void RelayLoop::SetQuietSweep(std::chrono::milliseconds quietTime, std::function<void()> sweep) {
  quietTime_ = quietTime;
  sweep_ = std::move(sweep);
}

void RelayLoop::Attach(relay::Status& status) {
  // Ticks that were missed while a handler ran count as one, as they would
  // for any timer of a busy event loop.
  Watch(retryswap_.Get(), [this, &status] {
    if (TakeExpiry(retryswap_)) {
      status.retryswap_Timer();
    }
  });
  Watch(signals_.ReadDescriptor(), [this, &status] {
    signals_.Drain();
    status.Shutdown();
  });
  if (const int completed = status.CompletionDescriptor(); completed >= 0) {
    Watch(completed, [&status] { status.DeliveriesCompleted(); });
  }
  for (queue::OpenQueue* open :
       {status.InboundQueue.get(), status.RetryQueueA.get(), status.RetryQueueB.get()}) {
    if (open == nullptr) {
      continue;
    }
    WatchQueue(*open);
  }
  status.QueueReopened = [this](queue::OpenQueue& open) { WatchQueue(open); };
}

void RelayLoop::WatchQueue(queue::OpenQueue& open) {
  // A queue replaced later is closed, and its descriptor leaves the epoll set
  // with it; its handler is never called again.
  Watch(open.NotificationDescriptor(), [this, &queue = open] {
    try {
      queue.DeliverNotification();
    } catch (...) {
      eventlog::ReportError("quillpost-smtp: arrival report of queue " +
                            queue::RedactPathName(queue.PathName()) +
                            " failed: " + relay::CurrentFailure());
    }
    if (sweep_ && quietTime_.count() > 0) {
      SetTimer(quietSweep_, quietTime_, {});
    }
  });
}

void RelayLoop::Watch(int descriptor, Handler handler) {
  if (!posix::WatchReadable(epoll_.Get(), descriptor, handlers_.size())) {
    ThrowSystem("watch descriptor " + std::to_string(descriptor));
  }
  handlers_.push_back(std::move(handler));
}

void RelayLoop::Handle(int timeoutMilliseconds) {
  // One event at a time: each handler runs to completion, and the kernel
  // hands out the ready descriptors in turn.
  epoll_event event{};
  const int ready = ::epoll_wait(epoll_.Get(), &event, 1, timeoutMilliseconds);
  if (ready < 0 && errno != EINTR) {
    ThrowSystem("wait for events");
  }
  if (ready == 1) {
    handlers_.at(event.data.u64)();
  }
}

void RelayLoop::HandleReady() {
  Handle(0);
}

void RelayLoop::Run() {
  for (;;) {
    Handle(-1);
  }
}

}  // namespace quillpost::program
