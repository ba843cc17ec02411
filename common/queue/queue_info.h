#pragma once

// What a backend reports about its queues and how a new store is shared:
// the values administration reads and passes, kept apart from the
// administration functions so that backends need not include them.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace quillpost::queue {

// Who may use the files of a new store.
enum class StoreAccess {
  Owner,  // the creating user only (files 0600, folders 0700)
  Group,  // the owner and the owner's group (files 0660, folders 2770)
};

// What kind of queue a broker keeps (a store's queues have no kind).
enum class QueueType {
  Classic,  // on one node, with priorities
  Quorum,   // replicated on the nodes of a cluster, confirmed once most of them
            // have a message; taken in the order they came (no priorities)
};

struct QueueInfo {
  std::string name;
  std::size_t waiting = 0;  // ready to be received
  std::size_t inHand = 0;   // received, not finished yet
};

// How full a queue is, as a monitor reads it without taking anything off it
// and without reading every message.
struct QueueDepth {
  std::size_t waiting = 0;  // not in hand, due or not; on a broker, the ready ones
  // The first waiting message in the order of receiving: its number, which
  // changes whenever another message takes its place, and when it came into
  // the store (the epoch when not known), left out when the caller already
  // knew that number. A broker shows neither: its messages cannot be looked
  // at without taking them.
  std::optional<std::int64_t> headNumber;
  std::optional<std::chrono::system_clock::time_point> headArrived;
};

struct PeekedMessage {
  // Names the message in its store for as long as it exists, and never
  // another one: a store's number, kept through moves; empty when the
  // backend has none.
  std::string id;
  // Its name in log lines (message_name.h); empty when the backend has none.
  std::string name;
  std::string label;
  int priority = 0;
  std::size_t size = 0;  // body bytes
  std::string body;      // only when asked for
  // The body was asked for but is larger than kMaxReceivedBodyBytes: it was not read.
  bool bodyLeftOut = false;
  bool inHand = false;
  std::chrono::system_clock::time_point notBefore{};  // the epoch: due at once
  std::string lastFailure;
  // When it came into the store; the epoch when that is not known.
  std::chrono::system_clock::time_point arrived{};
};

// A message and the name of the queue it is on.
struct LocatedMessage {
  std::string queue;
  PeekedMessage message;  // with its body
};

// What a move of one message changes besides its queue.
struct MoveChange {
  std::optional<std::string> label;  // the new label, when it changes
  bool dueNow = false;               // true: due at once, whatever it waited for
};

// Told how many of how many messages a long operation has done so far.
using Progress = std::function<void(std::size_t done, std::size_t total)>;

}  // namespace quillpost::queue
