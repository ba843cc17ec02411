#pragma once

// What the relay does with a request whose tries are used up: a temporary
// failure is deferred with growing intervals until the request has been
// queued for too long; a permanent one goes to the dead-letter queue.

#include <chrono>

namespace quillpost::relay {

// A 5xx reply, an invalid address or a missing attachment: trying again
// cannot help. Everything else (no connection, a 4xx reply, a time-out, a
// dropped connection, a setting to fix) may.
bool IsPermanentFailure(int number, int replyCode);

// How long a deferred request waits before its next try: as long as it has
// been queued so far, within [shortest, longest]. Each deferral so about
// doubles the wait.
std::chrono::milliseconds DeferralInterval(std::chrono::milliseconds queuedFor,
                                           std::chrono::milliseconds shortest,
                                           std::chrono::milliseconds longest);

}  // namespace quillpost::relay
