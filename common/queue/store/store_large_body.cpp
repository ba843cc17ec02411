// Messages whose body is larger than a receiver holds in memory are never
// read whole: their size is measured first, and taking or moving one copies
// its body within the store a piece at a time (a move may put new text
// around a part of it, as the relay does when it counts a try). SQLite
// writes a changed row anew whole, so marking such a row held in place costs
// three times its body in memory, and copying it in SQL more; the copy here
// costs SQLite one body of zeros (the body is not the row's last column, so
// zeroblob() is made in memory) and the record it writes.

#include <memory>

#include "queue/store/body_reader.h"
#include "queue/store/store.h"
#include "queue/store/store_time.h"

namespace quillpost::queue {
namespace {

constexpr const char* kTaking = "receiving a message";
constexpr const char* kMoving = "moving a message";

struct NewRow {
  std::int64_t queue = 0;
  int priority = 0;
  std::string label;
  std::chrono::system_clock::time_point notBefore;
  std::string lastFailure;
  std::optional<std::string> holder;
};

// A connection of its own to read a body while another writes one: a write
// through a blob makes the others on its table lose their place in the body,
// and every read would then find it again from the start.
std::unique_ptr<Database> BodySource(const Database& db) {
  auto source = std::make_unique<Database>(db.File(), false);
  source->SetBusyTimeout(StoreLockTimeout());
  return source;
}

// The body of a copy: head, then length bytes of the stored body from
// offset from on, then tail.
struct BodyPlan {
  std::string_view head;
  std::size_t from = 0;
  std::optional<std::size_t> length;  // unset: to the end of the stored body
  std::string_view tail;
};

// Inserts a copy of message seq made of row and a body after plan, with its
// id and arrival, and returns its number. The body is made as zeros of its
// size, then filled in, the stored part from source.
std::int64_t CopyWithBody(const Database& source, Database& db, std::int64_t seq, const NewRow& row,
                          const BodyPlan& plan, const char* what) {
  Statement kept = db.Prepare("SELECT coalesce(id, seq), arrived FROM messages WHERE seq = ?1");
  kept.Bind(1, seq);
  if (!kept.Step(what)) {
    throw QueueError("queue store " + db.File() + ": " + what + ": the message is gone");
  }
  const std::int64_t id = kept.Int(0);
  const std::int64_t arrived = kept.Int(1);
  kept.Reset();
  const std::size_t stored = BodyReader(source).Size(seq, what);
  if (plan.from > stored || plan.length.value_or(0) > stored - plan.from) {
    throw QueueError("queue store " + db.File() + ": " + what +
                     ": the part of the body to keep lies outside it");
  }
  const std::size_t part = plan.length.value_or(stored - plan.from);
  const auto size = static_cast<std::int64_t>(plan.head.size() + part + plan.tail.size());
  Statement insert = db.Prepare(
      "INSERT INTO messages(queue, priority, label, body, holder, not_before, last_failure, id,"
      " arrived) VALUES (?1, ?2, ?3, zeroblob(?4), ?5, ?6, ?7, ?8, ?9)");
  insert.Bind(1, row.queue).Bind(2, row.priority).Bind(3, row.label).Bind(4, size);
  if (row.holder) {
    insert.Bind(5, *row.holder);
  }
  insert.Bind(6, StoreTime(row.notBefore)).Bind(7, row.lastFailure).Bind(8, id).Bind(9, arrived);
  insert.Run(what);
  const std::int64_t copy = sqlite3_last_insert_rowid(db.Handle());
  WriteBody(db, {copy, 0}, plan.head, what);
  CopyBody(source, {seq, plan.from}, db, {copy, plan.head.size()}, part, what);
  WriteBody(db, {copy, plan.head.size() + part}, plan.tail, what);
  return copy;
}

}  // namespace

std::optional<TakenMessage> Store::TakeMeasured(std::int64_t queueId, const std::string& holder) {
  std::optional<TakenMessage> taken;
  InTurn(kTaking, [&] {
    Statement& head = Cached(
        "SELECT seq, priority, label, not_before, last_failure FROM messages"
        " WHERE queue = ?1 AND holder IS NULL AND not_before <= ?2"
        " ORDER BY priority DESC, seq LIMIT 1");
    head.Bind(1, queueId).Bind(2, StoreTimeNow());
    if (!head.Step(kTaking)) {
      head.Reset();
      return;
    }
    TakenMessage message;
    const std::int64_t seq = head.Int(0);
    message.message.priority = static_cast<int>(head.Int(1));
    message.message.label = head.Text(2);
    message.message.notBefore = FromStoreTime(head.Int(3));
    message.message.lastFailure = head.Text(4);
    head.Reset();

    const std::unique_ptr<Database> source = BodySource(*db_);
    StoredBody body = BodyReader(*source).Read(seq, kMaxHeldBodyBytes, kTaking);
    if (body.bytes) {  // text of a size a queue takes: marked in place
      Cached("UPDATE messages SET holder = ?2 WHERE seq = ?1")
          .Bind(1, seq)
          .Bind(2, holder)
          .Run(kTaking);
      message.seq = seq;
      message.message.body = std::move(*body.bytes);
    } else {
      WriteTransaction transaction(*db_, kTaking);
      message.seq = CopyWithBody(*source, *db_, seq,
                                 {queueId, message.message.priority, message.message.label,
                                  message.message.notBefore, message.message.lastFailure, holder},
                                 {}, kTaking);
      Cached("DELETE FROM messages WHERE seq = ?1").Bind(1, seq).Run(kTaking);
      transaction.Commit();
      message.leftOutBodySize = body.size;
    }
    taken = std::move(message);
  });
  return taken;
}

bool Store::FinishAndMoveStoredBody(std::int64_t queueId, std::int64_t seq,
                                    const std::string& holder, std::int64_t targetQueueId,
                                    const Message& message, const std::optional<KeptBody>& kept) {
  bool moved = false;
  InTurn(kMoving, [&] {
    WriteTransaction transaction(*db_, kMoving);
    Statement& held =
        Cached("SELECT 1 FROM messages WHERE seq = ?1 AND holder = ?2 AND queue = ?3");
    const bool stillHeld = held.Bind(1, seq).Bind(2, holder).Bind(3, queueId).Step(kMoving);
    held.Reset();
    if (!stillHeld) {
      return;
    }
    if (!QueueExists(targetQueueId)) {
      throw NoSuchQueue("the queue to move the message to no longer exists");
    }
    BodyPlan plan;
    if (kept) {
      const std::string_view body = message.body;
      plan = {body.substr(0, kept->at), kept->from, kept->length, body.substr(kept->at)};
    }
    CopyWithBody(*BodySource(*db_), *db_, seq,
                 {targetQueueId, message.priority, message.label, message.notBefore,
                  message.lastFailure, std::nullopt},
                 plan, kMoving);
    moved = DeleteHeld(queueId, seq, holder);
    transaction.Commit();
  });
  return moved;
}

}  // namespace quillpost::queue
