// Messages that are not due yet: the store's times, and when the next one
// comes due.

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "queue/store/store.h"
#include "queue/store/store_queue.h"
#include "queue/store/store_time.h"

namespace quillpost::queue {

std::int64_t StoreTime(std::chrono::system_clock::time_point when) {
  return std::chrono::ceil<std::chrono::milliseconds>(when.time_since_epoch()).count();
}

std::int64_t StoreTimeNow() {
  return std::chrono::floor<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::chrono::system_clock::time_point FromStoreTime(std::int64_t milliseconds) {
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::milliseconds(milliseconds)));
}

std::optional<std::chrono::system_clock::time_point> Store::NextDue(std::int64_t queueId) {
  Statement& next = Cached(
      "SELECT min(not_before) FROM messages WHERE queue = ?1 AND holder IS NULL"
      " AND not_before > ?2");
  next.Bind(1, queueId).Bind(2, StoreTimeNow());
  std::optional<std::chrono::system_clock::time_point> due;
  if (next.Step("looking for messages not due yet") && !next.IsNull(0)) {
    due = FromStoreTime(next.Int(0));
  }
  next.Reset();
  return due;
}

void StoreQueue::SetUpDueTimer() {
  // Wall-clock time: the due times are kept as such, across processes.
  dueTimer_.Reset(::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC));
  epoll_event event{};
  event.events = EPOLLIN;
  if (dueTimer_.Valid()) {
    event.data.fd = dueTimer_.Get();
  }
  if (!dueTimer_.Valid() ||
      ::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, dueTimer_.Get(), &event) != 0) {
    throw QueueError("cannot set up arrival reports for queue '" + pathName_ +
                     "': " + std::strerror(errno));
  }
}

void StoreQueue::ArmDueTimer() {
  const std::optional<std::chrono::system_clock::time_point> due =
      session_->store.NextDue(queueId_);
  itimerspec when{};
  if (due) {
    const auto since = due->time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    when.it_value.tv_sec = static_cast<time_t>(seconds.count());
    when.it_value.tv_nsec = static_cast<long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
    if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0) {
      when.it_value.tv_nsec = 1;  // all zero would disarm it
    }
  }
  if (::timerfd_settime(dueTimer_.Get(), TFD_TIMER_ABSTIME, &when, nullptr) != 0) {
    throw QueueError("cannot set the wake-up of queue '" + pathName_ +
                     "': " + std::strerror(errno));
  }
}

bool StoreQueue::DrainDueTimer() {
  std::uint64_t expirations = 0;
  return dueTimer_.Valid() && ::read(dueTimer_.Get(), &expirations, sizeof expirations) > 0;
}

}  // namespace quillpost::queue
