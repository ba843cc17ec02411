// Single messages of a store, named by their ids: what the administration
// shows, removes and moves one at a time.

#include "queue/message_name.h"
#include "queue/store/body_reader.h"
#include "queue/store/store.h"

namespace quillpost::queue {
namespace {

// The row of a message is found by its first number while it has not moved
// (id is NULL), by id once it has.
constexpr const char* kSameMessage = "((seq = ?1 AND id IS NULL) OR id = ?1)";

}  // namespace

std::optional<LocatedMessage> Store::FindById(std::int64_t id) {
  const std::uint64_t identity = Identity();
  static const std::string sql =
      std::string(
          "SELECT q.name, m.label, m.priority, m.seq, m.holder IS NOT NULL,"
          " m.not_before, m.last_failure, m.arrived FROM messages m JOIN queues q"
          " ON q.id = m.queue WHERE m.seq = (SELECT seq FROM messages WHERE ") +
      kSameMessage + ")";
  Statement& find = Cached(sql.c_str());
  find.Bind(1, id);
  std::optional<LocatedMessage> found;
  BodyReader bodies(*db_);
  if (find.Step("looking up a message")) {
    found.emplace();
    found->queue = find.Text(0);
    found->message = ReadMessageRow(find, 1, bodies, true);
    found->message.id = std::to_string(id);
    found->message.name = StoreMessageName(identity, id);
  }
  find.Reset();
  return found;
}

Store::ByIdOutcome Store::RemoveById(std::int64_t id) {
  static const std::string sql =
      std::string("DELETE FROM messages WHERE holder IS NULL AND ") + kSameMessage;
  bool removed = false;
  InTurn("removing a message", [&] {
    Cached(sql.c_str()).Bind(1, id).Run("removing a message");
    removed = db_->Changes() == 1;
  });
  if (removed) {
    return ByIdOutcome::Done;
  }
  return FindById(id) ? ByIdOutcome::InHand : ByIdOutcome::NoSuchMessage;
}

Store::ByIdOutcome Store::MoveById(std::int64_t id, std::int64_t targetQueueId,
                                   const std::optional<std::string>& label, bool dueNow) {
  ByIdOutcome outcome = ByIdOutcome::Done;
  InTurn("moving a message", [&] {
    WriteTransaction transaction(*db_, "moving a message");
    outcome = MoveByIdInTurn(id, targetQueueId, label, dueNow);
    if (outcome == ByIdOutcome::Done) {
      transaction.Commit();
    }
  });
  return outcome;
}

Store::ByIdOutcome Store::MoveByIdInTurn(std::int64_t id, std::int64_t targetQueueId,
                                         const std::optional<std::string>& label, bool dueNow) {
  static const std::string row =
      std::string("SELECT seq, holder IS NOT NULL FROM messages WHERE ") + kSameMessage;
  Statement& find = Cached(row.c_str());
  find.Bind(1, id);
  const bool exists = find.Step("looking up a message");
  const std::int64_t seq = exists ? find.Int(0) : 0;
  const bool inHand = exists && find.Int(1) != 0;
  find.Reset();
  if (!exists) {
    return ByIdOutcome::NoSuchMessage;
  }
  if (inHand) {
    return ByIdOutcome::InHand;
  }
  if (!QueueExists(targetQueueId)) {
    return ByIdOutcome::NoSuchTarget;
  }
  // A new number puts it at the end of the target (its own queue too); its
  // id and arrival stay.
  Statement& copy = Cached(
      "INSERT INTO messages(queue, priority, label, body, not_before, last_failure, id, arrived)"
      " SELECT ?2, priority, coalesce(?3, label), body, CASE WHEN ?4 THEN 0 ELSE not_before END,"
      " last_failure, ?5, arrived FROM messages WHERE seq = ?1");
  copy.Bind(1, seq).Bind(2, targetQueueId).Bind(4, dueNow ? 1 : 0).Bind(5, id);
  if (label) {
    copy.Bind(3, *label);
  }
  copy.Run("moving a message");
  Cached("DELETE FROM messages WHERE seq = ?1").Bind(1, seq).Run("moving a message");
  return ByIdOutcome::Done;
}

}  // namespace quillpost::queue
