#include "queue/store/holder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "posix/system_error.h"
#include "queue/queue.h"

namespace quillpost::queue {
namespace {

std::string HoldersFolder(const std::string& folder) {
  return folder + "/holders";
}

std::string RandomSuffix() {
  unsigned char bytes[8] = {};
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    const ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      posix::ThrowSystem<QueueError>("cannot draw a random holder name");
    }
    filled += static_cast<std::size_t>(got);
  }
  std::string text;
  for (const unsigned char b : bytes) {
    static const char kHex[] = "0123456789abcdef";
    text.push_back(kHex[b >> 4]);
    text.push_back(kHex[b & 15]);
  }
  return text;
}

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<Holder>> holders;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

// Removes the files of holders that ended without removing their own (they
// were killed). Files still named in the store only matter through their lock,
// so removing them is harmless.
void SweepGoneHolders(const std::string& folder) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(HoldersFolder(folder).c_str()), ::closedir);
  if (!dir) {
    return;
  }
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (Holder::IsValidName(name) && Holder::IsGone(folder, name)) {
      Holder::RemoveGone(folder, name);
    }
  }
}

std::shared_ptr<Holder> CreateHolder(const std::string& folder, mode_t fileMode) {
  const std::string dir = HoldersFolder(folder);
  SweepGoneHolders(folder);
  const std::string name = std::to_string(getpid()) + "-" + RandomSuffix();
  // The file is locked under a temporary name and only then given its real
  // name, so nobody ever sees a holder file that is not locked yet.
  const std::string temporary = dir + "/.new-" + name;
  const std::string path = dir + "/" + name;
  posix::UniqueFd fd(
      ::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, fileMode));
  if (!fd.Valid()) {
    posix::ThrowSystem<QueueError>("cannot create a holder file in " + dir);
  }
  ::fchmod(fd.Get(), fileMode);
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string reason = std::strerror(errno);
    ::unlink(temporary.c_str());
    throw QueueError("cannot set up the holder file " + path + ": " + reason);
  }
  return std::make_shared<Holder>(path, name, std::move(fd));
}

}  // namespace

Holder::Holder(std::string path, std::string name, posix::UniqueFd fd)
    : path_(std::move(path)), name_(std::move(name)), fd_(std::move(fd)), owner_(getpid()) {}

Holder::~Holder() {
  // A forked child has a copy of this object but not the lease: leave the
  // parent's file alone.
  if (owner_ == getpid()) {
    ::unlink(path_.c_str());
  }
}

std::shared_ptr<Holder> Holder::ForStore(const std::string& folder, mode_t fileMode) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  std::weak_ptr<Holder>& slot = registry.holders[folder];
  std::shared_ptr<Holder> holder = slot.lock();
  if (!holder || holder->owner_ != getpid()) {
    holder = CreateHolder(folder, fileMode);
    slot = holder;
  }
  return holder;
}

bool Holder::IsValidName(const std::string& name) {
  if (name.empty() || name.size() > 64) {
    return false;
  }
  for (const char c : name) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == '-')) {
      return false;
    }
  }
  return true;
}

bool Holder::IsGone(const std::string& folder, const std::string& name) {
  if (!IsValidName(name)) {
    return true;
  }
  const std::string path = HoldersFolder(folder) + "/" + name;
  // Opened read-only so that closing it does not look like a holder ending to
  // the processes that watch the folder.
  const posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.Valid()) {
    return errno == ENOENT;
  }
  if (::flock(fd.Get(), LOCK_SH | LOCK_NB) == 0) {
    return true;
  }
  return false;
}

void Holder::RemoveGone(const std::string& folder, const std::string& name) {
  if (IsValidName(name)) {
    ::unlink((HoldersFolder(folder) + "/" + name).c_str());
  }
}

}  // namespace quillpost::queue
