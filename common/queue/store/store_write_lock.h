#pragma once

// The store's writer turn: one flock on the file write.lock in the store
// folder, held around every write transaction.
//
// SQLite admits one writer at a time and lets a writer that finds the
// database locked sleep and try again, with sleeps that grow to 100 ms; a
// second writer thus mostly sleeps while the first works. Writers that wait
// for this lock instead sleep on an inotify watch of the lock file, and the
// writer that lets go writes a byte to the file, so a waiter wakes the moment
// the turn is free. A waiter also looks again every few milliseconds, for a
// holder that ended without letting go properly (the kernel drops its lock).

#include <sys/types.h>

#include <chrono>
#include <string>

#include "posix/unique_fd.h"

namespace quillpost::queue {

class StoreWriteLock {
 public:
  using Deadline = std::chrono::steady_clock::time_point;

  // path is the lock file, created with fileMode when missing. Nothing is
  // opened before the first Acquire.
  StoreWriteLock(std::string path, mode_t fileMode);
  StoreWriteLock(const StoreWriteLock&) = delete;
  StoreWriteLock& operator=(const StoreWriteLock&) = delete;
  StoreWriteLock(StoreWriteLock&&) noexcept = default;
  StoreWriteLock& operator=(StoreWriteLock&&) noexcept = default;

  // Takes the turn, waiting at most until deadline; false when it did not
  // come in time. Nested calls while the turn is held count and return at
  // once. Throws QueueError when the lock file cannot be opened or locked.
  bool Acquire(Deadline deadline);
  // Gives back one Acquire; the last one lets go and wakes the waiters.
  void Release() noexcept;

  bool Held() const { return depth_ > 0; }
  const std::string& Path() const { return path_; }

 private:
  void OpenFile();
  bool TryLock();
  bool WaitForTurn(Deadline deadline);
  bool WatchFile();
  void DrainWatch() const;

  std::string path_;
  mode_t fileMode_;
  posix::UniqueFd file_;
  posix::UniqueFd watch_;  // inotify on the lock file; set up on the first wait
  bool watchFailed_ = false;
  int depth_ = 0;
};

}  // namespace quillpost::queue
