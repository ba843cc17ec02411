// Whether an open store queue is still the queue of its name. A queue deleted
// and created again gets a new row (queue numbers are never given twice), and
// a store folder removed and made anew gets a new store file; either way the
// open queue would wait on something nobody sends to any more.

#include <sys/stat.h>

#include "queue/path_name.h"
#include "queue/store/store_queue.h"

namespace quillpost::queue {
namespace {

std::string StoreFile(const Store& store) {
  return store.Folder() + "/queues.db";
}

}  // namespace

void StoreQueue::RememberStoreFile() {
  struct stat file {};
  if (::stat(StoreFile(session_->store).c_str(), &file) == 0) {
    storeDevice_ = file.st_dev;
    storeInode_ = file.st_ino;
  }
}

bool StoreQueue::IsStillTheNamedQueue() {
  struct stat file {};
  if (::stat(StoreFile(session_->store).c_str(), &file) != 0 || file.st_dev != storeDevice_ ||
      file.st_ino != storeInode_) {
    return false;
  }
  return session_->store.FindQueue(ParseQueuePath(pathName_).queueName) == queueId_;
}

}  // namespace quillpost::queue
