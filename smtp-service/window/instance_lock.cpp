#include "window/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "posix/system_error.h"

namespace quillpost::window {
namespace {

std::string SystemError(const std::string& what, const std::filesystem::path& path) {
  return posix::SystemErrorText(what + " " + path.string());
}

// Creates `folder` 0700 when missing and checks that it is ours alone.
std::string PreparePrivateFolder(const std::filesystem::path& folder, uid_t uid) {
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    return SystemError("cannot create", folder);
  }
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0) {
    return SystemError("cannot examine", folder);
  }
  if (!S_ISDIR(info.st_mode)) {
    return folder.string() + " is not a folder";
  }
  if (info.st_uid != uid) {
    return folder.string() + " belongs to another user";
  }
  if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    return folder.string() + " is open to other users";
  }
  return {};
}

}  // namespace

LockLocation FindLockLocation(const char* runtimeDir, const std::filesystem::path& tempBase,
                              uid_t uid) {
  if (runtimeDir != nullptr && runtimeDir[0] == '/') {
    return {std::filesystem::path(runtimeDir) / kLockFileName, {}};
  }
  const std::filesystem::path folder = tempBase / ("quillpost-" + std::to_string(uid));
  std::string problem = PreparePrivateFolder(folder, uid);
  if (!problem.empty()) {
    return {{}, std::move(problem)};
  }
  return {folder / kLockFileName, {}};
}

LockLocation FindLockLocation() {
  return FindLockLocation(std::getenv("XDG_RUNTIME_DIR"), "/tmp", ::getuid());
}

InstanceLock::InstanceLock(const std::filesystem::path& file) {
  fd_.Reset(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600));
  if (!fd_.Valid()) {
    problem_ = SystemError("cannot open", file);
    return;
  }
  if (::flock(fd_.Get(), LOCK_EX | LOCK_NB) == 0) {
    state_ = State::kHeld;
    return;
  }
  if (errno == EWOULDBLOCK) {
    state_ = State::kOtherInstance;
  } else {
    problem_ = SystemError("cannot lock", file);
  }
  fd_.Reset();
}

}  // namespace quillpost::window
