#include "queue/store/store_write_lock.h"

#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <thread>

#include "posix/system_error.h"
#include "queue/queue.h"
#include "queue/store/store.h"

namespace quillpost::queue {
namespace {

// How often a waiter looks again without being woken: covers a holder that
// ended while holding the turn, and writers that do not ring.
constexpr std::chrono::milliseconds kRecheck{10};
// The pause between looks when the lock file cannot be watched.
constexpr std::chrono::microseconds kUnwatchedPause{500};

std::chrono::milliseconds Until(StoreWriteLock::Deadline deadline) {
  const auto left = deadline - std::chrono::steady_clock::now();
  return std::max(std::chrono::milliseconds(0), std::chrono::ceil<std::chrono::milliseconds>(left));
}

}  // namespace

StoreWriteLock::StoreWriteLock(std::string path, mode_t fileMode)
    : path_(std::move(path)), fileMode_(fileMode) {}

void StoreWriteLock::OpenFile() {
  file_ = OpenBell(path_, fileMode_);
  if (!file_.Valid()) {
    posix::ThrowSystem<QueueError>("cannot open the store's write lock " + path_);
  }
}

bool StoreWriteLock::TryLock() {
  for (;;) {
    if (::flock(file_.Get(), LOCK_EX | LOCK_NB) == 0) {
      return true;
    }
    if (errno == EWOULDBLOCK) {
      return false;
    }
    if (errno != EINTR) {
      posix::ThrowSystem<QueueError>("cannot lock the store's write lock " + path_);
    }
  }
}

bool StoreWriteLock::Acquire(Deadline deadline) {
  if (depth_ > 0) {
    ++depth_;
    return true;
  }
  if (!file_.Valid()) {
    OpenFile();
  }
  if (!TryLock() && !WaitForTurn(deadline)) {
    return false;
  }
  depth_ = 1;
  return true;
}

bool StoreWriteLock::WatchFile() {
  if (watch_.Valid()) {
    return true;
  }
  if (watchFailed_) {
    return false;
  }
  watch_.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (watch_.Valid() &&
      ::inotify_add_watch(watch_.Get(), path_.c_str(), IN_MODIFY | IN_CLOSE_WRITE) >= 0) {
    return true;
  }
  // Out of inotify instances or watches: wait by looking often instead.
  watch_.Reset();
  watchFailed_ = true;
  return false;
}

void StoreWriteLock::DrainWatch() const {
  alignas(inotify_event) std::array<char, 1024> buffer{};
  while (::read(watch_.Get(), buffer.data(), buffer.size()) > 0) {
  }
}

bool StoreWriteLock::WaitForTurn(Deadline deadline) {
  const bool watched = WatchFile();
  for (;;) {
    // Events that came before this look are stale; one that comes after it
    // is a release this look may have missed, and ends the wait below.
    if (watched) {
      DrainWatch();
    }
    if (TryLock()) {
      return true;
    }
    const std::chrono::milliseconds left = Until(deadline);
    if (left.count() == 0) {
      return false;
    }
    if (watched) {
      pollfd wait{watch_.Get(), POLLIN, 0};
      ::poll(&wait, 1, static_cast<int>(std::min(left, kRecheck).count()));
    } else {
      std::this_thread::sleep_for(kUnwatchedPause);
    }
  }
}

void StoreWriteLock::Release() noexcept {
  if (depth_ == 0 || --depth_ > 0) {
    return;
  }
  ::flock(file_.Get(), LOCK_UN);
  // Rings after letting go, so a waiter that wakes finds the lock free. A
  // ring that fails is made up for by the waiters' own second look.
  [[maybe_unused]] const ssize_t rung = ::pwrite(file_.Get(), "!", 1, 0);
}

}  // namespace quillpost::queue
