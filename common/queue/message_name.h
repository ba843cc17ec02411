#pragma once

// A message's name: 16 upper-case hex digits by which log lines and commands
// name one message. The store or broker that keeps the message gives it, so
// whoever sent the message cannot choose it or copy another's; it stays the
// same through every move between queues and after a crash, and no other
// message of the same store or broker has it.

#include <cstdint>
#include <string>
#include <string_view>

namespace quillpost::queue {

inline constexpr std::size_t kMessageNameLength = 16;

// A store message's name: its number, which the store never gives twice,
// scrambled with the store's own random identity, so that stores do not
// share names and a name does not tell how many messages came before.
std::string StoreMessageName(std::uint64_t storeIdentity, std::int64_t id);

// A broker message's name, from the random id it got when first sent; empty
// when it has none (sent by an older version).
std::string BrokerMessageName(std::string_view messageId);

// True for text shaped like a name (16 hex digits, either case).
bool LooksLikeMessageName(std::string_view text);

}  // namespace quillpost::queue
