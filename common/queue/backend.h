#pragma once

// What every backend offers, behind the path names of queue.h and
// queue_admin.h. A backend is chosen by BackendFor (AdminBackendFor), from the
// path name's kind (BackendKindOf in path_name.h) and nowhere else.
//
// The interface has two faces. Backend is what senders and receivers need and
// is part of the client library that the submission library links.
// AdminBackend (list, peek, purge, move) lives with administration
// (queue/admin/), which alone reaches the broker's management interface.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "queue/queue.h"
#include "queue/queue_info.h"

namespace quillpost::queue {

class Backend {
 public:
  virtual ~Backend() = default;

  // Throws NoSuchQueue when the queue does not exist, QueueError otherwise.
  virtual std::unique_ptr<OpenQueue> Open(const std::string& pathName, Access access) const = 0;
  virtual bool Exists(const std::string& pathName) const = 0;
  // Creates the queue (and its store, with access, when the backend has
  // stores) of the given type; false when it existed. A store refuses any
  // type but Classic.
  virtual bool Create(const std::string& pathName, StoreAccess access, QueueType type) const = 0;
  // Throws NoSuchQueue when the queue is missing.
  virtual void Delete(const std::string& pathName) const = 0;
  // Throws NoSuchQueue when the queue is missing. knownHead: the head number
  // of an earlier reading, whose body is then not read again.
  virtual QueueDepth Depth(const std::string& pathName,
                           std::optional<std::int64_t> knownHead) const = 0;
  // True when FinishAndSend and MoveMessages take a message off one queue and
  // put it on another in one atomic step (neither lost nor duplicated); false
  // when a failure in between may leave it on both (at least once).
  virtual bool MovesAtomically() const = 0;
};

class AdminBackend {
 public:
  virtual ~AdminBackend() = default;

  // storeName names a store of this backend (see queue_admin.h).
  virtual std::vector<QueueInfo> List(const std::string& storeName) const = 0;
  virtual std::vector<PeekedMessage> Peek(const std::string& pathName, bool withBodies,
                                          std::size_t limit) const = 0;
  virtual std::size_t Purge(const std::string& pathName, const Progress& progress) const = 0;
  // Both path names are of this backend.
  virtual std::size_t Move(const std::string& fromPathName, const std::string& toPathName,
                           const Progress& progress) const = 0;

  // The store as administration names it; throws QueueError when it is not
  // there.
  virtual std::string Describe(const std::string& storeName) const = 0;
  // Single messages of a store, by id (queue_admin.h).
  virtual std::optional<LocatedMessage> Find(const std::string& storeName,
                                             const std::string& id) const = 0;
  virtual void Remove(const std::string& storeName, const std::string& id) const = 0;
  virtual void MoveOne(const std::string& storeName, const std::string& id,
                       const std::string& toQueue, const MoveChange& change) const = 0;
};

// Throws QueueError unless the queue named name is open (open) for the wanted
// access; operation says what was refused. Shared by the backends' queues.
void RequireOpenFor(const std::string& name, bool open, Access opened, Access wanted,
                    const char* operation);

// The backend of a path name (or of a store name): the one place that picks it.
const Backend& BackendFor(const std::string& pathName);

// The administration of the same backend; defined by the administration
// library.
const AdminBackend& AdminBackendFor(const std::string& pathName);

}  // namespace quillpost::queue
