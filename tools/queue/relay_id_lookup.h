#pragma once

// From the relay's log to the queue: the relay names a request in its log
// lines by an id of its own (16 hex digits, kept in the request document),
// which this finds the message of.

#include <optional>
#include <string>

namespace quillpost::queue {

// True for text shaped like the relay's id of a request.
bool LooksLikeRelayId(const std::string& text);

// The id of the message of the store whose request the relay calls relayId;
// std::nullopt when none is.
std::optional<std::string> FindByRelayId(const std::string& storeName, const std::string& relayId);

}  // namespace quillpost::queue
