#pragma once

// Administration of queues and stores: what the quillpost-queue tool offers,
// kept here so that every backend can provide it.
//
// A store is named as in docs/queues.md: empty for the default store, a folder,
// or a file:// URL. Queues are named by path names, as everywhere.

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "queue/queue.h"

namespace quillpost::queue {

// Who may use the files of a new store.
enum class StoreAccess {
  Owner,  // the creating user only (files 0600, folders 0700)
  Group,  // the owner and the owner's group (files 0660, folders 2770)
};

struct QueueInfo {
  std::string name;
  std::size_t waiting = 0;  // ready to be received
  std::size_t inHand = 0;   // received, not finished yet
};

struct PeekedMessage {
  std::string label;
  int priority = 0;
  std::size_t size = 0;  // body bytes
  std::string body;      // only when asked for
  bool inHand = false;
  std::chrono::system_clock::time_point notBefore{};  // the epoch: due at once
  std::string lastFailure;
};

// Creates the queue, and its store when that does not exist yet (with the
// given access; an existing store keeps its own). False when the queue existed.
bool CreateQueue(const std::string& pathName, StoreAccess access = StoreAccess::Owner);

// Deletes the queue with every message on it. Throws NoSuchQueue.
void DeleteQueue(const std::string& pathName);

// Every queue of the store, by name. An absent store has no queues.
std::vector<QueueInfo> ListQueues(const std::string& storeName = {});

// Messages of a queue in the order they would be received (waiting ones
// first), at most limit of them.
std::vector<PeekedMessage> PeekQueue(const std::string& pathName, bool withBodies,
                                     std::size_t limit = static_cast<std::size_t>(-1));

// Removes every waiting message; messages in hand are left to their receivers.
// Returns how many were removed.
std::size_t PurgeQueue(const std::string& pathName);

// Moves every waiting message of one queue to the end of another of the same
// store in one atomic step, keeping labels, bodies, priorities and order.
// Returns how many moved.
std::size_t MoveMessages(const std::string& fromPathName, const std::string& toPathName);

// How long an operation waits for a store that another process has locked
// before it fails with QueueError (default 5 seconds). Applies to stores opened
// afterwards in this process.
void SetLockTimeout(std::chrono::milliseconds timeout);
std::chrono::milliseconds LockTimeout();

}  // namespace quillpost::queue
