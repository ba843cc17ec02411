#pragma once

// What a backend reports about its queues and how a new store is shared:
// the values administration reads and passes, kept apart from the
// administration functions so that backends need not include them.

#include <chrono>
#include <cstddef>
#include <string>

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

}  // namespace quillpost::queue
