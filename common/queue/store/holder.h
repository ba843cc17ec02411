#pragma once

// A process's lease on the messages it holds in one store.
//
// Each receiving process keeps one file in the store's holders/ folder, locked
// with flock for as long as the process lives. The kernel drops the lock when
// the process dies, however it dies, so another process that can take the lock
// knows the holder is gone and may put its messages back on their queues. A
// lock cannot outlive its process or be confused by a reused process id.

#include <sys/types.h>

#include <memory>
#include <string>

#include "posix/unique_fd.h"

namespace quillpost::queue {

class Holder {
 public:
  // The calling process's holder in the store at folder, created on first use
  // and shared by every queue of this process in that store. fileMode is the
  // permission of new files in the store.
  static std::shared_ptr<Holder> ForStore(const std::string& folder, mode_t fileMode);

  // True when the holder named name no longer lives (its lock can be taken or
  // its file is gone).
  static bool IsGone(const std::string& folder, const std::string& name);

  // Removes the file of a holder found gone.
  static void RemoveGone(const std::string& folder, const std::string& name);

  // What a holder name may contain; anything else in the store is ignored.
  static bool IsValidName(const std::string& name);

  Holder(std::string path, std::string name, posix::UniqueFd fd);
  ~Holder();
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;

  const std::string& Name() const { return name_; }

 private:
  std::string path_;
  std::string name_;
  posix::UniqueFd fd_;
  pid_t owner_;
};

}  // namespace quillpost::queue
