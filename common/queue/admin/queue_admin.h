#pragma once

// Administration of queues and stores: what the quillpost-queue tool offers,
// kept here so that every backend can provide it. Part of the administration
// library (quillpost_queue_admin), which the submission library does not link.
//
// A store is named as in docs/queues.md: empty for the default store, a folder,
// or a file:// URL. Queues are named by path names, as everywhere.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "queue/queue.h"
#include "queue/queue_info.h"

namespace quillpost::queue {

// Creates the queue, and its store when that does not exist yet (with the
// given access; an existing store keeps its own). False when the queue existed.
// type: a broker's queue type; a store takes Classic only.
bool CreateQueue(const std::string& pathName, StoreAccess access = StoreAccess::Owner,
                 QueueType type = QueueType::Classic);

// Deletes the queue with every message on it. Throws NoSuchQueue.
void DeleteQueue(const std::string& pathName);

// Every queue of the store, by name. An absent store has no queues.
std::vector<QueueInfo> ListQueues(const std::string& storeName = {});

// Messages of a queue in the order they would be received (waiting ones
// first), at most limit of them.
std::vector<PeekedMessage> PeekQueue(const std::string& pathName, bool withBodies,
                                     std::size_t limit = static_cast<std::size_t>(-1));

// Removes every waiting message; messages in hand are left to their receivers.
// Returns how many were removed. progress hears how far a long purge is.
std::size_t PurgeQueue(const std::string& pathName, const Progress& progress = {});

// Moves every waiting message of one queue to the end of another of the same
// store, keeping labels, bodies, priorities and order. Returns how many moved.
// In a store the whole move is one atomic step; on a broker each message is
// stored on the target before it leaves the source (at least once: a failure
// may leave one message on both). QueuePath(from).MovesAtomically() tells which.
std::size_t MoveMessages(const std::string& fromPathName, const std::string& toPathName,
                         const Progress& progress = {});

// The store named by storeName as administration shows it (its folder, or
// the broker without its password). Throws StoreMissing (a QueueError) when
// there is no store there, where ListQueues would answer "no queues".
std::string DescribeStore(const std::string& storeName);

// No message of the store has that id (any more).
class NoSuchMessage : public QueueError {
 public:
  using QueueError::QueueError;
};

// Single messages, named by the ids that list and peek show
// (PeekedMessage::id): an id names one message of its store for as long as
// it exists, through every move between queues, and is never given to
// another. Finding one gives it with its body; std::nullopt when no message
// has that id.
std::optional<LocatedMessage> FindMessage(const std::string& storeName, const std::string& id);
// Removes a waiting message. Throws NoSuchMessage, or QueueError when a
// receiver holds it.
void RemoveMessage(const std::string& storeName, const std::string& id);
// Moves a waiting message to the end of the store's queue toQueue (a plain
// name), keeping its id. Throws NoSuchMessage, NoSuchQueue, or QueueError
// when a receiver holds it.
void MoveMessage(const std::string& storeName, const std::string& id, const std::string& toQueue,
                 const MoveChange& change = {});

// How long an operation waits for a store that another process has locked
// before it fails with QueueError (default 5 seconds). Applies to stores opened
// afterwards in this process.
void SetLockTimeout(std::chrono::milliseconds timeout);
std::chrono::milliseconds LockTimeout();

}  // namespace quillpost::queue
