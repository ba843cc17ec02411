#pragma once

// From the relay's log to the queue: the relay names a request in its log
// lines by its message's name (16 hex digits, given by the store or broker),
// which this finds the message of.

#include <string>
#include <vector>

namespace quillpost::queue {

// The ids of the messages of the store that are named relayId: one at most,
// since a store never gives a name twice.
std::vector<std::string> FindByRelayId(const std::string& storeName, const std::string& relayId);

}  // namespace quillpost::queue
