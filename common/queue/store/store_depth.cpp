// How full a queue is, for a monitor: both questions are answered from the
// index of waiting messages, so neither reads the messages themselves; only
// a new head's arrival is read, one row.

#include "queue/store/body_reader.h"
#include "queue/store/store.h"
#include "queue/store/store_time.h"

namespace quillpost::queue {

QueueDepth Store::Depth(std::int64_t queueId, std::optional<std::int64_t> knownHead) {
  QueueDepth depth;
  Statement& count = Cached("SELECT count(*) FROM messages WHERE queue = ?1 AND holder IS NULL");
  count.Bind(1, queueId);
  if (count.Step("counting waiting messages")) {
    depth.waiting = static_cast<std::size_t>(count.Int(0));
  }
  count.Reset();

  Statement& head = Cached(
      "SELECT seq FROM messages WHERE queue = ?1 AND holder IS NULL"
      " ORDER BY priority DESC, seq LIMIT 1");
  head.Bind(1, queueId);
  if (head.Step("finding the first waiting message")) {
    depth.headNumber = head.Int(0);
  }
  head.Reset();

  if (depth.headNumber && depth.headNumber != knownHead) {
    Statement& arrived = Cached("SELECT arrived FROM messages WHERE seq = ?1 AND holder IS NULL");
    arrived.Bind(1, *depth.headNumber);
    if (arrived.Step("reading the first waiting message")) {
      depth.headArrived = FromStoreTime(arrived.Int(0));
    }
    arrived.Reset();
  }
  return depth;
}

}  // namespace quillpost::queue
