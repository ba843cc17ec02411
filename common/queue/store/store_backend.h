#pragma once

// The embedded store behind the backend interface: plain names and file://
// path names.

#include <cstdint>

#include "queue/backend.h"
#include "queue/path_name.h"
#include "queue/store/store.h"

namespace quillpost::queue {

struct StoreQueueRef {
  Store store;
  std::int64_t id;
};

// The store of an existing queue; NoSuchQueue when either is missing.
StoreQueueRef OpenExistingQueue(const QueueLocation& location);

const Backend& StoreBackend();

}  // namespace quillpost::queue
