#pragma once

// One connection to a store: a folder holding the database queues.db (every
// queue and message), holders/ (the leases of receiving processes), bells/
// (one file per queue that senders touch so that waiting receivers wake up),
// write.lock (whose flock is the writers' turn) and reserve (room on the disk
// kept for delivering, space_reserve.h).

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "posix/unique_fd.h"
#include "queue/queue.h"
#include "queue/queue_info.h"
#include "queue/store/space_reserve.h"
#include "queue/store/sqlite_db.h"
#include "queue/store/store_write_lock.h"

namespace quillpost::queue {

// The folder holds no store (yet).
class StoreMissing : public QueueError {
 public:
  using QueueError::QueueError;
};

struct TakenMessage {
  std::int64_t seq = 0;
  Message message;
  // Set: the body is larger than a receiver holds in memory and was not read.
  std::optional<std::size_t> leftOutBodySize;
};

class BodyReader;

class Store {
 public:
  enum class Mode { OpenExisting, CreateIfMissing };

  // Throws StoreMissing (OpenExisting and no store there) or QueueError.
  Store(std::string folder, Mode mode, StoreAccess access = StoreAccess::Owner);

  const std::string& Folder() const { return folder_; }
  mode_t FileMode() const { return fileMode_; }

  std::optional<std::int64_t> FindQueue(const std::string& name);
  bool CreateQueue(const std::string& name);
  bool DeleteQueue(const std::string& name);
  std::vector<QueueInfo> ListQueues();

  // False when the queue no longer exists; nothing is stored then.
  bool Insert(std::int64_t queueId, const Message& message);
  // Runs write in one transaction under the writers' turn and commits it with
  // one flush, so that everything write inserts becomes durable together.
  // Nothing is kept when write throws.
  void WriteTogether(std::string_view what, const std::function<void()>& write);
  // Marks the first waiting message held by holder and returns it.
  std::optional<TakenMessage> Take(std::int64_t queueId, const std::string& holder);
  // Take's way for a first message whose body is text or larger than a
  // queue takes (store_large_body.cpp): its size is measured before anything
  // is read, and a body past the limit is left out, the message being taken
  // by moving it, a piece at a time, to a new row marked held.
  std::optional<TakenMessage> TakeMeasured(std::int64_t queueId, const std::string& holder);
  bool QueueExists(std::int64_t queueId);
  // Only messages that are due count as waiting.
  bool HasWaiting(std::int64_t queueId);
  // When the earliest waiting message that is not due yet comes due.
  std::optional<std::chrono::system_clock::time_point> NextDue(std::int64_t queueId);
  // A held message is named by its queue as well as its number (stores of
  // older layouts gave numbers anew once the highest was gone).
  // False when holder no longer holds the message.
  bool Finish(std::int64_t queueId, std::int64_t seq, const std::string& holder);
  // Finishes seq and inserts message on targetQueueId in one transaction.
  // Returns false (and changes nothing) when the message is no longer held;
  // throws NoSuchQueue when the target queue is gone.
  bool FinishAndInsert(std::int64_t queueId, std::int64_t seq, const std::string& holder,
                       std::int64_t targetQueueId, const Message& message);
  // The same for a message whose body was left out: the stored body moves
  // with it, a piece at a time, and message.body is not used; with kept,
  // only that part of it moves, into message.body (store_large_body.cpp).
  bool FinishAndMoveStoredBody(std::int64_t queueId, std::int64_t seq, const std::string& holder,
                               std::int64_t targetQueueId, const Message& message,
                               const std::optional<KeptBody>& kept = std::nullopt);
  // Reads the body of message seq where it is stored, through a connection
  // of its own (store_body_stream.cpp).
  std::unique_ptr<BodyStream> OpenStoredBody(std::int64_t seq) const;
  void Release(std::int64_t queueId, std::int64_t seq, const std::string& holder);

  // Puts the messages of holders that died back on their queues and rings
  // their bells. Returns the queues that got messages back.
  std::vector<std::int64_t> ReclaimGoneHolders(const std::string& ownHolder);

  // Counted over the index of waiting messages; reads one body at most
  // (store_depth.cpp).
  QueueDepth Depth(std::int64_t queueId, std::optional<std::int64_t> knownHead);
  std::vector<PeekedMessage> Peek(std::int64_t queueId, bool withBodies, std::size_t limit);
  // Both are one transaction; progress hears how far they are.
  std::int64_t PurgeWaiting(std::int64_t queueId, const Progress& progress = {});
  // Moved messages keep their ids.
  std::int64_t MoveWaiting(std::int64_t fromQueueId, std::int64_t toQueueId,
                           const Progress& progress = {});

  // Single messages named by their ids, which are never given twice in a
  // store and stay with a message through every move (store_by_id.cpp).
  std::optional<LocatedMessage> FindById(std::int64_t id);
  enum class ByIdOutcome { Done, NoSuchMessage, InHand, NoSuchTarget };
  // Only a waiting message is removed or moved: one in hand belongs to its
  // receiver.
  ByIdOutcome RemoveById(std::int64_t id);
  // Puts the message at the end of the target queue, relabelled when label is
  // given and due at once when dueNow.
  ByIdOutcome MoveById(std::int64_t id, std::int64_t targetQueueId,
                       const std::optional<std::string>& label, bool dueNow);

  // A random number the store got when it was first asked for it, which
  // makes its messages' names its own (message_name.h).
  std::uint64_t Identity();
  // Runs a receiver's write (taking, finishing, returning or moving on a
  // message in hand). Should the disk be full, the store's space reserve is
  // given up and write runs once more, so that what is queued can still be
  // delivered. Senders never get the reserve.
  template <typename Write>
  auto UsingReserve(Write write) -> decltype(write()) {
    try {
      return write();
    } catch (const StoreFull&) {
      if (!reserve_.Release()) {
        throw;
      }
    }
    return write();
  }
  // Makes the space reserve again, once a send found room on the disk.
  void RestoreReserve() const { reserve_.Restore(); }

  std::string BellPath(std::int64_t queueId) const;
  std::string HoldersPath() const { return folder_ + "/holders"; }
  // Touches the queue's bell; a failure goes to the event log, since the
  // message concerned is safely stored either way.
  void Ring(std::int64_t queueId) const;

 private:
  Statement& Cached(const char* sql);
  // Holds the writers' turn while it lives; throws QueueError naming what
  // when the turn does not come within the lock time-out.
  class WriteTurn;
  WriteTurn TakeTurn(std::string_view what);
  // Runs work while holding the writers' turn (for code outside store.cpp).
  void InTurn(std::string_view what, const std::function<void()>& work);
  // Commits made while the returned guard lives are not flushed to disk at
  // once (the next durable commit flushes them). Only for changes whose loss
  // in a power cut puts a message back on its queue: taking, returning and
  // finishing (at least once: a finished message may come back).
  class LightCommits;
  LightCommits CommitLightly();
  void SetUp(Mode mode);
  void CreateLayout();
  // Adds the columns of a message's due time and last failure.
  void MigrateFromLayout1();
  // Numbers never given twice; a message's id and arrival.
  void MigrateFromLayout2();
  void MakeFolders(StoreAccess access, bool creating);
  // The log is copied into the database by whoever commits once it has grown
  // long enough, after the writers' turn is given back, so that other
  // writers need not wait for the copying and its disk flushes.
  static int NoteLogLength(void* count, sqlite3* db, const char* name, int frames);
  void CheckpointIfDue() noexcept;
  std::int64_t CountWaiting(std::int64_t queueId);
  // Runs step, which handles the next few waiting messages of queueId and
  // says how many, in one transaction until all that were waiting are done,
  // telling progress after each step. Returns how many were done.
  std::int64_t InSteps(std::int64_t queueId, const char* what, const Progress& progress,
                       const std::function<std::int64_t()>& step);
  // Deletes the next few waiting messages of queueId; returns how many.
  std::int64_t DeleteFirstWaiting(std::int64_t queueId, const char* what);
  ByIdOutcome MoveByIdInTurn(std::int64_t id, std::int64_t targetQueueId,
                             const std::optional<std::string>& label, bool dueNow);
  // Removes the message if holder still holds it; false when it does not.
  bool DeleteHeld(std::int64_t queueId, std::int64_t seq, const std::string& holder);

  std::string folder_;
  mode_t fileMode_ = 0600;
  StoreWriteLock writeLock_;
  // Frames in the write-ahead log after the last commit; outlives db_, whose
  // hook writes it.
  std::unique_ptr<int> logFrames_ = std::make_unique<int>(0);
  std::unique_ptr<Database> db_;
  std::unordered_map<const char*, Statement> statements_;
  bool checkpointFailureReported_ = false;
  std::optional<std::uint64_t> identity_;
  SpaceReserve reserve_;
};

// A message's columns label, priority, seq, in hand, due time, last failure
// and arrival, read from row from column first on, with its size and, when
// withBody, its body (left out when larger than kMaxReceivedBodyBytes).
PeekedMessage ReadMessageRow(Statement& row, int first, BodyReader& bodies, bool withBody);

// Opens a bell for writing, creating it with exactly mode (whatever the umask)
// when it is missing. Invalid on failure, with errno set.
posix::UniqueFd OpenBell(const std::string& path, mode_t mode);

// How long a store operation waits for the writers' turn before it fails
// (administration sets it through SetLockTimeout).
void SetStoreLockTimeout(std::chrono::milliseconds timeout);
std::chrono::milliseconds StoreLockTimeout();

// The permission bits of files and folders in a store of the given access.
mode_t FileModeFor(StoreAccess access);
mode_t FolderModeFor(StoreAccess access);

}  // namespace quillpost::queue
