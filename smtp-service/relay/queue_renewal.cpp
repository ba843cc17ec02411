// At each retryswap tick: a receive queue deleted and created again (or whose
// store was replaced) is opened anew by its name and armed, so mail sent to
// the new queue is not left waiting until a restart.

#include "relay/current_failure.h"
#include "relay/status.h"

namespace quillpost::relay {

void Status::RenewReplacedQueues() {
  RenewIfReplaced(InboundQueueName, InboundQueue, requestevent, parked_.inbound);
  RenewIfReplaced(RetryQueueNameA, RetryQueueA, retryAevent, parked_.retryA);
  RenewIfReplaced(RetryQueueNameB, RetryQueueB, retrybevent, parked_.retryB);
}

void Status::RenewIfReplaced(const std::string& pathName, std::unique_ptr<queue::OpenQueue>& slot,
                             HandlerSink& sink, bool& parked) {
  if (!slot) {
    return;
  }
  const std::string shown = queue::RedactPathName(pathName);
  try {
    if (slot->IsStillTheNamedQueue()) {
      return;
    }
  } catch (...) {
    WriteLog("Unable to check queue", "Queue=" + shown + ", Error=" + CurrentFailure());
    return;
  }
  WriteLog("Queue was deleted or re-created; opening it again", "Queue=" + shown);
  try {
    OpenAndArm(pathName, slot, sink);
    parked = false;
    if (QueueReopened) {
      QueueReopened(*slot);
    }
  } catch (...) {
    // The old queue stays in place; the next tick tries again.
    const std::string failure = CurrentFailure();
    WriteLog("Unable to open queue again", "Queue=" + shown + ", Error=" + failure);
    ReportFailure("unable to open queue " + shown + " again: " + failure);
  }
}

}  // namespace quillpost::relay
