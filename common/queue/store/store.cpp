#include "queue/store/store.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>

#include "eventlog/event_log.h"
#include "posix/system_error.h"
#include "queue/message_name.h"
#include "queue/store/body_reader.h"
#include "queue/store/holder.h"
#include "queue/store/store_time.h"

namespace quillpost::queue {
namespace {

// "QPQS" marks our database files; user_version is the layout's version.
constexpr std::int64_t kApplicationId = 0x51505153;
constexpr std::int64_t kLayoutVersion = 3;

std::atomic<std::int64_t> lockTimeoutMs{5000};

// A message's number (seq) orders its queue and is never given again
// (AUTOINCREMENT). Its id is the number it got when it first came into the
// store: a move gives it a new seq, at the end of its new queue, and keeps
// the first one in id (NULL while seq is still the first). arrived is when it
// first came into the store, in milliseconds since the epoch (0: before
// layout 3).
std::string MessagesTable(const char* name) {
  return std::string("CREATE TABLE ") + name +
         "("
         "  seq INTEGER PRIMARY KEY AUTOINCREMENT,"
         "  queue INTEGER NOT NULL,"
         "  priority INTEGER NOT NULL CHECK (priority BETWEEN 0 AND 7),"
         "  label TEXT NOT NULL,"
         "  body BLOB NOT NULL,"
         "  holder TEXT,"
         "  not_before INTEGER NOT NULL DEFAULT 0,"
         "  last_failure TEXT NOT NULL DEFAULT '',"
         "  id INTEGER,"
         "  arrived INTEGER NOT NULL"
         "    DEFAULT (CAST((julianday('now') - 2440587.5) * 86400000 AS INTEGER)));";
}

constexpr const char* kMessagesIndexes =
    "CREATE INDEX messages_waiting ON messages(queue, priority DESC, seq) WHERE holder IS NULL;"
    "CREATE INDEX messages_held ON messages(holder, queue) WHERE holder IS NOT NULL;"
    "CREATE INDEX messages_moved ON messages(id) WHERE id IS NOT NULL;";

std::string Layout() {
  return "CREATE TABLE queues("
         "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
         "  name TEXT NOT NULL UNIQUE);" +
         MessagesTable("messages") + kMessagesIndexes +
         "PRAGMA application_id = 1364218195;"
         "PRAGMA user_version = 3;";
}

// Layout 2 gave the highest number again once its message was gone: the
// table is rebuilt with AUTOINCREMENT, every message keeping its number.
std::string MigrationFromLayout2() {
  return MessagesTable("messages_3") +
         "INSERT INTO messages_3(seq, queue, priority, label, body, holder, not_before,"
         " last_failure, arrived) SELECT seq, queue, priority, label, body, holder, not_before,"
         " last_failure, 0 FROM messages;"
         "DROP TABLE messages;"
         "ALTER TABLE messages_3 RENAME TO messages;" +
         kMessagesIndexes + "PRAGMA user_version = 3;";
}

static_assert(kApplicationId == 1364218195);

void MakeFolder(const std::string& path, mode_t mode) {
  if (::mkdir(path.c_str(), mode) == 0) {
    // mkdir honours the umask; the store's mode must not depend on it.
    ::chmod(path.c_str(), mode);
    return;
  }
  if (errno != EEXIST) {
    posix::ThrowSystem<QueueError>("cannot create the store folder " + path);
  }
}

std::int64_t ReadPragma(Database& db, const char* sql) {
  Statement statement = db.Prepare(sql);
  return statement.Step("reading the store's header") ? statement.Int(0) : 0;
}

}  // namespace

posix::UniqueFd OpenBell(const std::string& path, mode_t mode) {
  const int flags = O_WRONLY | O_CLOEXEC | O_NOFOLLOW;
  posix::UniqueFd bell(::open(path.c_str(), flags));
  if (bell.Valid() || errno != ENOENT) {
    return bell;
  }
  bell.Reset(::open(path.c_str(), flags | O_CREAT | O_EXCL, mode));
  if (bell.Valid()) {
    ::fchmod(bell.Get(), mode);
    return bell;
  }
  // Someone else created it in between.
  return errno == EEXIST ? posix::UniqueFd(::open(path.c_str(), flags)) : posix::UniqueFd();
}

mode_t FileModeFor(StoreAccess access) {
  return access == StoreAccess::Group ? 0660 : 0600;
}
mode_t FolderModeFor(StoreAccess access) {
  return access == StoreAccess::Group ? 02770 : 0700;
}

void SetStoreLockTimeout(std::chrono::milliseconds timeout) {
  lockTimeoutMs = timeout.count();
}
std::chrono::milliseconds StoreLockTimeout() {
  return std::chrono::milliseconds(lockTimeoutMs.load());
}

class Store::WriteTurn {
 public:
  WriteTurn(Store& store, std::string_view what) : store_(store), lock_(store.writeLock_) {
    if (!lock_.Acquire(std::chrono::steady_clock::now() + StoreLockTimeout())) {
      throw QueueError("queue store " + store.db_->File() + ": " + std::string(what) +
                       ": the store stayed locked by another process for too long");
    }
  }
  ~WriteTurn() {
    lock_.Release();
    if (!lock_.Held()) {
      store_.CheckpointIfDue();
    }
  }
  WriteTurn(const WriteTurn&) = delete;
  WriteTurn& operator=(const WriteTurn&) = delete;

 private:
  Store& store_;
  StoreWriteLock& lock_;
};

Store::WriteTurn Store::TakeTurn(std::string_view what) {
  return WriteTurn(*this, what);
}

void Store::InTurn(std::string_view what, const std::function<void()>& work) {
  const WriteTurn turn = TakeTurn(what);
  work();
}

Store::Store(std::string folder, Mode mode, StoreAccess access)
    : folder_(std::move(folder)),
      writeLock_(folder_ + "/write.lock", 0600),
      reserve_(folder_ + "/reserve", 0600) {
  const std::string file = folder_ + "/queues.db";
  if (mode == Mode::CreateIfMissing) {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(folder_).parent_path(), ignored);
    MakeFolder(folder_, FolderModeFor(access));
    const posix::UniqueFd created(
        ::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, FileModeFor(access)));
    if (created.Valid()) {
      ::fchmod(created.Get(), FileModeFor(access));
      // The new file's name must survive a power cut as well as its content.
      const posix::UniqueFd dir(::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (dir.Valid()) {
        ::fsync(dir.Get());
      }
    } else if (errno != EEXIST) {
      posix::ThrowSystem<QueueError>("cannot create the store file " + file);
    }
  }
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      throw StoreMissing("there is no queue store in " + folder_);
    }
    posix::ThrowSystem<QueueError>("cannot reach the store file " + file);
  }
  if (!S_ISREG(info.st_mode)) {
    throw QueueError("queue store " + file + ": the file is not a queue store");
  }
  // Files created later (holders, bells) follow the database file's access.
  fileMode_ = (info.st_mode & 0060) != 0 ? 0660 : 0600;
  writeLock_ = StoreWriteLock(folder_ + "/write.lock", fileMode_);
  db_ = std::make_unique<Database>(file, false);
  db_->SetBusyTimeout(StoreLockTimeout());
  SetUp(mode);
  const StoreAccess actual = fileMode_ == 0660 ? StoreAccess::Group : StoreAccess::Owner;
  MakeFolder(HoldersPath(), FolderModeFor(actual));
  MakeFolder(folder_ + "/bells", FolderModeFor(actual));
  reserve_ = SpaceReserve(folder_ + "/reserve", fileMode_);
  reserve_.Restore();
}

void Store::SetUp(Mode mode) {
  std::int64_t applicationId = ReadPragma(*db_, "PRAGMA application_id");
  if (applicationId == 0) {
    // Either a file we created and have not laid out yet, or someone else's.
    const bool empty = ReadPragma(*db_, "SELECT count(*) FROM sqlite_schema") == 0;
    if (!empty) {
      throw QueueError("queue store " + db_->File() + ": the file is not a queue store");
    }
    if (mode == Mode::OpenExisting) {
      throw StoreMissing("the queue store in " + folder_ + " has not been set up");
    }
    CreateLayout();
    applicationId = ReadPragma(*db_, "PRAGMA application_id");
  }
  if (applicationId != kApplicationId) {
    throw QueueError("queue store " + db_->File() + ": the file is not a queue store");
  }
  if (ReadPragma(*db_, "PRAGMA user_version") == 1) {
    MigrateFromLayout1();
  }
  if (ReadPragma(*db_, "PRAGMA user_version") == 2) {
    MigrateFromLayout2();
  }
  if (ReadPragma(*db_, "PRAGMA user_version") != kLayoutVersion) {
    throw QueueError("queue store " + db_->File() +
                     ": the store was written by another version of Quillpost");
  }
  db_->Execute("PRAGMA synchronous = FULL", "setting up durable writes");
  // Debian's SQLite zeroes every deleted record, which costs a page write
  // per finished message; FAST zeroes only what is written anyway.
  db_->Execute("PRAGMA secure_delete = FAST", "setting up deletion");
  db_->Execute("PRAGMA journal_size_limit = 67108864", "setting up the journal");
  Statement mode_check = db_->Prepare("PRAGMA journal_mode");
  if (!mode_check.Step("reading the journal mode") || mode_check.Text(0) != "wal") {
    db_->Execute("PRAGMA journal_mode = WAL", "switching to write-ahead logging");
  }
  // Replaces SQLite's own checkpoints, which run inside the commit and so
  // inside the writers' turn.
  // The count lives on the heap: the Store itself may be moved.
  sqlite3_wal_hook(db_->Handle(), &Store::NoteLogLength, logFrames_.get());
}

int Store::NoteLogLength(void* count, sqlite3* /*db*/, const char* /*name*/, int frames) {
  *static_cast<int*>(count) = frames;
  return SQLITE_OK;
}

void Store::CheckpointIfDue() noexcept {
  // SQLite's default length, in pages.
  constexpr int kCheckpointFrames = 1000;
  if (*logFrames_ < kCheckpointFrames) {
    return;
  }
  *logFrames_ = 0;
  // Copies what no reader still needs and never waits: a copy that another
  // process has under way, or readers of old pages, leave the rest for the
  // next time the log has grown.
  const int rc =
      sqlite3_wal_checkpoint_v2(db_->Handle(), "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  if (rc != SQLITE_OK && rc != SQLITE_BUSY && rc != SQLITE_LOCKED && !checkpointFailureReported_) {
    checkpointFailureReported_ = true;
    eventlog::ReportError("Quillpost queue store " + db_->File() +
                          ": cannot copy the write-ahead log into the database: " +
                          sqlite3_errstr(rc) + "; the log keeps growing until a copy succeeds");
  }
}

void Store::CreateLayout() {
  db_->Execute("PRAGMA journal_mode = WAL", "switching to write-ahead logging");
  const WriteTurn turn = TakeTurn("laying out the new store");
  WriteTransaction transaction(*db_, "laying out the new store");
  // Another process may have laid it out while we waited for the lock.
  if (ReadPragma(*db_, "PRAGMA application_id") == 0) {
    db_->Execute(Layout().c_str(), "laying out the new store");
  }
  transaction.Commit();
}

void Store::MigrateFromLayout1() {
  const WriteTurn turn = TakeTurn("updating the store's layout");
  WriteTransaction transaction(*db_, "updating the store's layout");
  // Another process may have updated it while we waited for the lock.
  Statement version = db_->Prepare("PRAGMA user_version");
  const bool stillOld = version.Step("reading the store's header") && version.Int(0) == 1;
  version.Reset();
  if (stillOld) {
    db_->Execute(
        "ALTER TABLE messages ADD COLUMN not_before INTEGER NOT NULL DEFAULT 0;"
        "ALTER TABLE messages ADD COLUMN last_failure TEXT NOT NULL DEFAULT '';"
        "PRAGMA user_version = 2;",
        "updating the store's layout");
  }
  transaction.Commit();
}

std::uint64_t Store::Identity() {
  if (identity_) {
    return *identity_;
  }
  // Kept in a table of its own, which every version of the store's layout
  // may hold: programs that do not know it pass it by.
  const auto read = [this]() -> std::optional<std::uint64_t> {
    if (ReadPragma(*db_, "SELECT count(*) FROM sqlite_schema WHERE name = 'store_identity'") == 0) {
      return std::nullopt;
    }
    Statement select = db_->Prepare("SELECT value FROM store_identity LIMIT 1");
    if (!select.Step("reading the store's identity")) {
      return std::nullopt;
    }
    return static_cast<std::uint64_t>(select.Int(0));
  };
  identity_ = read();
  if (!identity_) {
    std::uint64_t value = 0;
    if (::getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value)) {
      posix::ThrowSystem<QueueError>("cannot make the store's identity");
    }
    const WriteTurn turn = TakeTurn("giving the store its identity");
    WriteTransaction transaction(*db_, "giving the store its identity");
    db_->Execute("CREATE TABLE IF NOT EXISTS store_identity(value INTEGER NOT NULL)",
                 "giving the store its identity");
    Statement insert = db_->Prepare(
        "INSERT INTO store_identity(value) SELECT ?1"
        " WHERE NOT EXISTS (SELECT 1 FROM store_identity)");
    insert.Bind(1, static_cast<std::int64_t>(value)).Run("giving the store its identity");
    transaction.Commit();
    // Another process may have given it one first.
    identity_ = read();
  }
  if (!identity_) {
    throw QueueError("queue store " + db_->File() + ": the store has no identity");
  }
  return *identity_;
}

void Store::MigrateFromLayout2() {
  const WriteTurn turn = TakeTurn("updating the store's layout");
  WriteTransaction transaction(*db_, "updating the store's layout");
  // Another process may have updated it while we waited for the lock.
  if (ReadPragma(*db_, "PRAGMA user_version") == 2) {
    db_->Execute(MigrationFromLayout2().c_str(), "updating the store's layout");
  }
  transaction.Commit();
}

class Store::LightCommits {
 public:
  explicit LightCommits(Store& store) : store_(store) {
    store_.Cached("PRAGMA synchronous = NORMAL").Run("taking a message");
  }
  ~LightCommits() {
    try {
      store_.Cached("PRAGMA synchronous = FULL").Run("restoring durable writes");
    } catch (const QueueError&) {
      // Setting a pragma does no I/O and cannot be locked out; should it
      // fail, the connection is unusable and the next operation says so.
    }
  }
  LightCommits(const LightCommits&) = delete;
  LightCommits& operator=(const LightCommits&) = delete;

 private:
  Store& store_;
};

Store::LightCommits Store::CommitLightly() {
  return LightCommits(*this);
}

Statement& Store::Cached(const char* sql) {
  auto found = statements_.find(sql);
  if (found == statements_.end()) {
    found = statements_.emplace(sql, db_->Prepare(sql)).first;
  }
  return found->second;
}

std::optional<std::int64_t> Store::FindQueue(const std::string& name) {
  Statement& find = Cached("SELECT id FROM queues WHERE name = ?1");
  find.Bind(1, name);
  std::optional<std::int64_t> id;
  if (find.Step("looking up a queue")) {
    id = find.Int(0);
  }
  find.Reset();
  return id;
}

bool Store::QueueExists(std::int64_t queueId) {
  Statement& find = Cached("SELECT 1 FROM queues WHERE id = ?1");
  find.Bind(1, queueId);
  const bool exists = find.Step("looking up a queue");
  find.Reset();
  return exists;
}

bool Store::CreateQueue(const std::string& name) {
  bool created = false;
  {
    const WriteTurn turn = TakeTurn("creating a queue");
    Statement& insert = Cached("INSERT OR IGNORE INTO queues(name) VALUES (?1)");
    insert.Bind(1, name).Run("creating a queue");
    created = db_->Changes() == 1;
  }
  const std::optional<std::int64_t> id = FindQueue(name);
  if (id) {
    const posix::UniqueFd bell = OpenBell(BellPath(*id), fileMode_);
    if (!bell.Valid()) {
      throw QueueError("cannot create the bell file " + BellPath(*id) + ": " +
                       std::strerror(errno));
    }
  }
  return created;
}

bool Store::DeleteQueue(const std::string& name) {
  const WriteTurn turn = TakeTurn("deleting a queue");
  WriteTransaction transaction(*db_, "deleting a queue");
  const std::optional<std::int64_t> id = FindQueue(name);
  if (!id) {
    return false;
  }
  Cached("DELETE FROM messages WHERE queue = ?1").Bind(1, *id).Run("deleting a queue's messages");
  Cached("DELETE FROM queues WHERE id = ?1").Bind(1, *id).Run("deleting a queue");
  transaction.Commit();
  ::unlink(BellPath(*id).c_str());
  return true;
}

std::vector<QueueInfo> Store::ListQueues() {
  Statement& list = Cached(
      "SELECT q.name,"
      " (SELECT count(*) FROM messages m WHERE m.queue = q.id AND m.holder IS NULL),"
      " (SELECT count(*) FROM messages m WHERE m.queue = q.id AND m.holder IS NOT NULL)"
      " FROM queues q ORDER BY q.name");
  std::vector<QueueInfo> queues;
  while (list.Step("listing queues")) {
    queues.push_back({list.Text(0), static_cast<std::size_t>(list.Int(1)),
                      static_cast<std::size_t>(list.Int(2))});
  }
  list.Reset();
  return queues;
}

bool Store::Insert(std::int64_t queueId, const Message& message) {
  const WriteTurn turn = TakeTurn("storing a message");
  Statement& insert = Cached(
      "INSERT INTO messages(queue, priority, label, body, not_before, last_failure)"
      " SELECT ?1, ?2, ?3, ?4, ?5, ?6 WHERE EXISTS (SELECT 1 FROM queues WHERE id = ?1)");
  insert.Bind(1, queueId).Bind(2, message.priority).Bind(3, message.label);
  insert.BindBlob(4, message.body);
  insert.Bind(5, StoreTime(message.notBefore)).Bind(6, message.lastFailure);
  insert.Run("storing a message");
  return db_->Changes() == 1;
}

void Store::WriteTogether(std::string_view what, const std::function<void()>& write) {
  const WriteTurn turn = TakeTurn(what);
  WriteTransaction transaction(*db_, what);
  write();
  transaction.Commit();
}

std::optional<TakenMessage> Store::Take(std::int64_t queueId, const std::string& holder) {
  const std::uint64_t identity = Identity();
  // Only a body that SQL can measure without reading it (a blob) and that is
  // no larger than a receiver holds in memory is marked in place: marking a row writes
  // the whole row anew, holding its body in memory several times over.
  Statement& take = Cached(
      "UPDATE messages SET holder = ?2 WHERE seq = ("
      " SELECT seq FROM messages WHERE queue = ?1 AND holder IS NULL AND not_before <= ?3"
      " ORDER BY priority DESC, seq LIMIT 1)"
      " AND typeof(body) = 'blob' AND length(body) <= ?4"
      " RETURNING seq, priority, label, body, not_before, last_failure, coalesce(id, seq), "
      "arrived");
  take.Bind(1, queueId).Bind(2, holder).Bind(3, StoreTimeNow());
  take.Bind(4, static_cast<std::int64_t>(kMaxHeldBodyBytes));
  const WriteTurn turn = TakeTurn("receiving a message");
  // Should a power cut undo the mark, the message is simply waiting again.
  const LightCommits light = CommitLightly();
  std::optional<TakenMessage> taken;
  if (take.Step("receiving a message")) {
    taken.emplace();
    taken->seq = take.Int(0);
    taken->message.priority = static_cast<int>(take.Int(1));
    taken->message.label = take.Text(2);
    taken->message.body = take.Text(3);
    taken->message.notBefore = FromStoreTime(take.Int(4));
    taken->message.lastFailure = take.Text(5);
    taken->message.arrived = FromStoreTime(take.Int(7));
    taken->message.name = StoreMessageName(identity, take.Int(6));
    while (take.Step("receiving a message")) {
    }
  }
  take.Reset();
  return taken ? taken : TakeMeasured(queueId, holder);
}

bool Store::HasWaiting(std::int64_t queueId) {
  Statement& probe = Cached(
      "SELECT 1 FROM messages WHERE queue = ?1 AND holder IS NULL AND not_before <= ?2 LIMIT 1");
  probe.Bind(1, queueId).Bind(2, StoreTimeNow());
  const bool waiting = probe.Step("looking for waiting messages");
  probe.Reset();
  return waiting;
}

bool Store::Finish(std::int64_t queueId, std::int64_t seq, const std::string& holder) {
  const WriteTurn turn = TakeTurn("finishing a message");
  // The next durable commit or checkpoint flushes the deletion with it. A
  // power cut before that brings the message back to its queue, to be handled
  // once more: at least once, never lost.
  const LightCommits light = CommitLightly();
  return DeleteHeld(queueId, seq, holder);
}

bool Store::DeleteHeld(std::int64_t queueId, std::int64_t seq, const std::string& holder) {
  Cached("DELETE FROM messages WHERE seq = ?1 AND holder = ?2 AND queue = ?3")
      .Bind(1, seq)
      .Bind(2, holder)
      .Bind(3, queueId)
      .Run("finishing a message");
  return db_->Changes() == 1;
}

bool Store::FinishAndInsert(std::int64_t queueId, std::int64_t seq, const std::string& holder,
                            std::int64_t targetQueueId, const Message& message) {
  const WriteTurn turn = TakeTurn("moving a message");
  WriteTransaction transaction(*db_, "moving a message");
  // The message keeps its id and arrival on its new queue; one that came
  // before arrivals were kept counts as arriving now.
  Statement& insert = Cached(
      "INSERT INTO messages(queue, priority, label, body, not_before, last_failure, id, arrived)"
      " SELECT ?4, ?5, ?6, ?7, ?8, ?9, coalesce(id, seq), iif(arrived = 0, ?10, arrived)"
      " FROM messages"
      " WHERE seq = ?1 AND holder = ?2 AND queue = ?3"
      " AND EXISTS (SELECT 1 FROM queues WHERE queues.id = ?4)");
  insert.Bind(1, seq).Bind(2, holder).Bind(3, queueId).Bind(4, targetQueueId);
  insert.Bind(5, message.priority).Bind(6, message.label).BindBlob(7, message.body);
  insert.Bind(8, StoreTime(message.notBefore)).Bind(9, message.lastFailure);
  insert.Bind(10, StoreTimeNow());
  insert.Run("moving a message");
  const bool inserted = db_->Changes() == 1;
  if (!DeleteHeld(queueId, seq, holder)) {
    return false;
  }
  if (!inserted) {
    throw NoSuchQueue("the queue to move the message to no longer exists");
  }
  transaction.Commit();
  return true;
}

void Store::Release(std::int64_t queueId, std::int64_t seq, const std::string& holder) {
  const WriteTurn turn = TakeTurn("returning a message to its queue");
  const LightCommits light = CommitLightly();
  Cached("UPDATE messages SET holder = NULL WHERE seq = ?1 AND holder = ?2 AND queue = ?3")
      .Bind(1, seq)
      .Bind(2, holder)
      .Bind(3, queueId)
      .Run("returning a message to its queue");
}

std::vector<std::int64_t> Store::ReclaimGoneHolders(const std::string& ownHolder) {
  std::vector<std::string> holders;
  Statement& list = Cached("SELECT DISTINCT holder FROM messages WHERE holder IS NOT NULL");
  while (list.Step("looking for messages in hand")) {
    holders.push_back(list.Text(0));
  }
  list.Reset();

  std::vector<std::int64_t> queues;
  for (const std::string& holder : holders) {
    if (holder == ownHolder || !Holder::IsGone(folder_, holder)) {
      continue;
    }
    std::vector<std::int64_t> returned;
    {
      const WriteTurn turn = TakeTurn("returning the messages of an ended receiver");
      WriteTransaction transaction(*db_, "returning the messages of an ended receiver");
      Statement& affected = Cached("SELECT DISTINCT queue FROM messages WHERE holder = ?1");
      affected.Bind(1, holder);
      while (affected.Step("returning the messages of an ended receiver")) {
        returned.push_back(affected.Int(0));
      }
      affected.Reset();
      Cached("UPDATE messages SET holder = NULL WHERE holder = ?1")
          .Bind(1, holder)
          .Run("returning the messages of an ended receiver");
      transaction.Commit();
    }
    Holder::RemoveGone(folder_, holder);
    for (const std::int64_t queue : returned) {
      Ring(queue);
      queues.push_back(queue);
    }
  }
  return queues;
}

PeekedMessage ReadMessageRow(Statement& row, int first, BodyReader& bodies, bool withBody) {
  PeekedMessage message;
  message.label = row.Text(first);
  message.priority = static_cast<int>(row.Int(first + 1));
  const std::int64_t seq = row.Int(first + 2);
  message.inHand = row.Int(first + 3) != 0;
  message.notBefore = FromStoreTime(row.Int(first + 4));
  message.lastFailure = row.Text(first + 5);
  message.arrived = FromStoreTime(row.Int(first + 6));
  if (withBody) {
    StoredBody body = bodies.Read(seq, kMaxReceivedBodyBytes, "reading messages");
    message.size = body.size;
    message.bodyLeftOut = !body.bytes;
    message.body = std::move(body.bytes).value_or(std::string());
  } else {
    message.size = bodies.Size(seq, "reading messages");
  }
  return message;
}

std::vector<PeekedMessage> Store::Peek(std::int64_t queueId, bool withBodies, std::size_t limit) {
  const std::uint64_t identity = Identity();
  Statement& peek = Cached(
      "SELECT label, priority, seq, holder IS NOT NULL, not_before, last_failure, arrived,"
      " coalesce(id, seq) FROM messages WHERE queue = ?1"
      " ORDER BY holder IS NOT NULL, priority DESC, seq LIMIT ?2");
  const auto sqlLimit =
      limit > static_cast<std::size_t>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(limit);
  peek.Bind(1, queueId).Bind(2, sqlLimit);
  std::vector<PeekedMessage> messages;
  BodyReader bodies(*db_);
  while (peek.Step("reading messages")) {
    PeekedMessage message = ReadMessageRow(peek, 0, bodies, withBodies);
    message.id = std::to_string(peek.Int(7));
    message.name = StoreMessageName(identity, peek.Int(7));
    messages.push_back(std::move(message));
  }
  peek.Reset();
  return messages;
}

namespace {

// Long purges and moves go in steps of this many messages, within their one
// transaction, so that they can tell how far they are.
constexpr std::int64_t kStep = 2000;

}  // namespace

std::int64_t Store::CountWaiting(std::int64_t queueId) {
  Statement& count = Cached("SELECT count(*) FROM messages WHERE queue = ?1 AND holder IS NULL");
  count.Bind(1, queueId);
  const std::int64_t waiting = count.Step("counting messages") ? count.Int(0) : 0;
  count.Reset();
  return waiting;
}

std::int64_t Store::InSteps(std::int64_t queueId, const char* what, const Progress& progress,
                            const std::function<std::int64_t()>& step) {
  const WriteTurn turn = TakeTurn(what);
  WriteTransaction transaction(*db_, what);
  const std::int64_t total = CountWaiting(queueId);
  std::int64_t done = 0;
  while (done < total) {
    const std::int64_t stepped = step();
    done += stepped;
    if (progress) {
      progress(static_cast<std::size_t>(done), static_cast<std::size_t>(total));
    }
    if (stepped == 0) {
      break;
    }
  }
  transaction.Commit();
  return done;
}

std::int64_t Store::DeleteFirstWaiting(std::int64_t queueId, const char* what) {
  Cached(
      "DELETE FROM messages WHERE seq IN (SELECT seq FROM messages"
      " WHERE queue = ?1 AND holder IS NULL ORDER BY priority DESC, seq LIMIT ?2)")
      .Bind(1, queueId)
      .Bind(2, kStep)
      .Run(what);
  return db_->Changes();
}

std::int64_t Store::PurgeWaiting(std::int64_t queueId, const Progress& progress) {
  constexpr const char* kWhat = "purging a queue";
  return InSteps(queueId, kWhat, progress, [&] { return DeleteFirstWaiting(queueId, kWhat); });
}

std::int64_t Store::MoveWaiting(std::int64_t fromQueueId, std::int64_t toQueueId,
                                const Progress& progress) {
  constexpr const char* kWhat = "moving messages";
  return InSteps(fromQueueId, kWhat, progress, [&] {
    // New numbers put the moved messages behind those already waiting on
    // the target, in their old order; ids stay.
    Cached(
        "INSERT INTO messages(queue, priority, label, body, not_before, last_failure, id, arrived)"
        " SELECT ?2, priority, label, body, not_before, last_failure, coalesce(id, seq), arrived"
        " FROM messages WHERE queue = ?1 AND holder IS NULL ORDER BY priority DESC, seq LIMIT ?3")
        .Bind(1, fromQueueId)
        .Bind(2, toQueueId)
        .Bind(3, kStep)
        .Run(kWhat);
    const std::int64_t copied = db_->Changes();
    if (DeleteFirstWaiting(fromQueueId, kWhat) != copied) {
      throw QueueError("queue store " + db_->File() + ": moving messages: counts disagree");
    }
    return copied;
  });
}

std::string Store::BellPath(std::int64_t queueId) const {
  return folder_ + "/bells/" + std::to_string(queueId);
}

void Store::Ring(std::int64_t queueId) const {
  const std::string path = BellPath(queueId);
  const posix::UniqueFd bell = OpenBell(path, fileMode_);
  if (!bell.Valid() || ::pwrite(bell.Get(), "!", 1, 0) != 1) {
    eventlog::ReportError("Quillpost queue store: cannot ring the bell " + path + ": " +
                          std::strerror(errno) + "; waiting receivers notice the message later");
  }
}

}  // namespace quillpost::queue
