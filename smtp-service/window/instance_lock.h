#pragma once

// Tells whether another instance of the relay already runs in this user's
// session. The first instance holds an exclusive flock on a lock file for its
// whole life; the kernel drops the lock with the process, so an instance that
// crashed never blocks the next one.

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

#include "posix/unique_fd.h"

namespace quillpost::window {

inline constexpr const char* kLockFileName = "quillpost-smtp.lock";

// Where the lock file lives: $XDG_RUNTIME_DIR when it names an absolute path,
// else a private folder "quillpost-<uid>" under `tempBase`, created 0700 and
// accepted only when it is a real folder of this user that no one else may write.
struct LockLocation {
  std::filesystem::path file;  // empty when no safe place was found
  std::string problem;         // why, when `file` is empty
};
[[nodiscard]] LockLocation FindLockLocation(const char* runtimeDir,
                                            const std::filesystem::path& tempBase, uid_t uid);
// The same for this process: its environment, /tmp and its user.
[[nodiscard]] LockLocation FindLockLocation();

class InstanceLock {
 public:
  enum class State {
    kHeld,           // this is the first instance
    kOtherInstance,  // another live instance holds the lock
    kUnknown,        // the lock file could not be used; see Problem()
  };

  // Tries to take the lock at `file` without waiting.
  explicit InstanceLock(const std::filesystem::path& file);
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  [[nodiscard]] State state() const { return state_; }
  [[nodiscard]] const std::string& Problem() const { return problem_; }

 private:
  posix::UniqueFd fd_;
  State state_ = State::kUnknown;
  std::string problem_;
};

}  // namespace quillpost::window
