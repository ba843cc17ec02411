#pragma once

#include <chrono>
#include <ostream>
#include <string>

#include "queue/queue_info.h"

namespace quillpost::queue {

using TimePoint = std::chrono::system_clock::time_point;

// The lines under a peeked message that say when it is tried next (when that
// is still to come) and why it last failed (when it did).
void WriteMessageTimes(std::ostream& out, const PeekedMessage& message);

// "2026-12-07 21:57:23 UTC".
std::string UtcText(TimePoint when);
// "2026-12-07T21:57:23Z", for JSON.
std::string IsoText(TimePoint when);
// "3d 4h", "2h 05m", "4m 09s", "12s": how long ago arrived was.
std::string AgeText(TimePoint arrived, TimePoint now);
// Local time as mailq shows it: "Mon Dec  7 21:57:23".
std::string MailqTimeText(TimePoint when);

// True when the store knows when the message came (older layouts did not
// keep it).
inline bool Known(TimePoint when) {
  return when != TimePoint{};
}

}  // namespace quillpost::queue
