#include "queue/store/space_reserve.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "posix/unique_fd.h"

namespace quillpost::queue {

bool SpaceReserve::Release() const {
  return ::unlink(path_.c_str()) == 0;
}

void SpaceReserve::Restore() const {
  if (::access(path_.c_str(), F_OK) == 0) {
    return;
  }
  // Whoever creates it fills it; the others find it there.
  const posix::UniqueFd file(
      ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode_));
  if (!file.Valid()) {
    return;
  }
  ::fchmod(file.Get(), mode_);
  if (::posix_fallocate(file.Get(), 0, static_cast<off_t>(kBytes)) != 0) {
    ::unlink(path_.c_str());  // a reserve short of its size would promise room it lacks
  }
}

}  // namespace quillpost::queue
