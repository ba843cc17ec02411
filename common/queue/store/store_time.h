#pragma once

// Times as the store keeps them: milliseconds since the Unix epoch.

#include <chrono>
#include <cstdint>

namespace quillpost::queue {

// A due time is rounded up and the present down, so that a message is never
// taken for due before its time.
std::int64_t StoreTime(std::chrono::system_clock::time_point when);
std::int64_t StoreTimeNow();
std::chrono::system_clock::time_point FromStoreTime(std::int64_t milliseconds);

}  // namespace quillpost::queue
