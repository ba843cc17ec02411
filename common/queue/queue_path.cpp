#include <memory>

#include "queue/backend.h"
#include "queue/queue.h"

namespace quillpost::queue {

QueuePath::QueuePath(std::string pathName) : pathName_(std::move(pathName)) {}

std::unique_ptr<OpenQueue> QueuePath::Open(Access access, ShareMode share) const {
  if (access != Access::Receive && access != Access::Send) {
    throw QueueError("queue '" + RedactPathName(pathName_) +
                     "' can be opened for receiving or for sending only");
  }
  if (share != ShareMode::DenyNone) {
    throw QueueError("queue '" + RedactPathName(pathName_) +
                     "' can only be opened shared (deny none)");
  }
  return BackendFor(pathName_).Open(pathName_, access);
}

bool QueuePath::Exists() const {
  return BackendFor(pathName_).Exists(pathName_);
}

bool QueuePath::Create() const {
  return BackendFor(pathName_).Create(pathName_, StoreAccess::Owner, QueueType::Classic);
}

void QueuePath::Delete() const {
  BackendFor(pathName_).Delete(pathName_);
}

QueueDepth QueuePath::Depth(std::optional<std::int64_t> knownHead) const {
  return BackendFor(pathName_).Depth(pathName_, knownHead);
}

bool QueuePath::MovesAtomically() const {
  return BackendFor(pathName_).MovesAtomically();
}

bool OpenQueue::MovesAtomically() const {
  return QueuePath(PathName()).MovesAtomically();
}

}  // namespace quillpost::queue
