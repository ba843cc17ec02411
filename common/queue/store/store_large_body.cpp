// Moving on a message whose body was left out when it was taken, because it
// is larger than any sender may store: the body is copied within the store a
// piece at a time, so that the move needs no more memory than a small one.
// (Copying it in SQL would hold it in memory whole, several times over.)

#include "queue/store/body_reader.h"
#include "queue/store/store.h"
#include "queue/store/store_time.h"

namespace quillpost::queue {

bool Store::FinishAndMoveStoredBody(std::int64_t queueId, std::int64_t seq,
                                    const std::string& holder, std::int64_t targetQueueId,
                                    const Message& message) {
  constexpr const char* kWhat = "moving a message";
  bool moved = false;
  InTurn(kWhat, [&] {
    WriteTransaction transaction(*db_, kWhat);
    Statement& held =
        Cached("SELECT 1 FROM messages WHERE seq = ?1 AND holder = ?2 AND queue = ?3");
    const bool stillHeld = held.Bind(1, seq).Bind(2, holder).Bind(3, queueId).Step(kWhat);
    held.Reset();
    if (!stillHeld) {
      return;
    }
    const auto size = static_cast<std::int64_t>(BodyReader(*db_).Size(seq, kWhat));
    // The message keeps its id and arrival on its new queue.
    Statement& insert = Cached(
        "INSERT INTO messages(queue, priority, label, body, not_before, last_failure, id, arrived)"
        " SELECT ?2, ?3, ?4, zeroblob(?5), ?6, ?7, coalesce(id, seq), arrived FROM messages"
        " WHERE seq = ?1 AND EXISTS (SELECT 1 FROM queues WHERE queues.id = ?2)");
    insert.Bind(1, seq).Bind(2, targetQueueId).Bind(3, message.priority).Bind(4, message.label);
    insert.Bind(5, size).Bind(6, StoreTime(message.notBefore)).Bind(7, message.lastFailure);
    insert.Run(kWhat);
    if (db_->Changes() != 1) {
      throw NoSuchQueue("the queue to move the message to no longer exists");
    }
    CopyBody(*db_, seq, sqlite3_last_insert_rowid(db_->Handle()), kWhat);
    moved = DeleteHeld(queueId, seq, holder);
    transaction.Commit();
  });
  return moved;
}

}  // namespace quillpost::queue
