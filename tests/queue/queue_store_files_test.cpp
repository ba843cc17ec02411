// What the store does with files that are not what they should be, and with
// the access and locks of its files.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>

#include "queue/admin/queue_admin.h"
#include "queue/queue.h"
#include "queue_test_support.h"

namespace quillpost::queue {
namespace {

using std::chrono::milliseconds;
using testing::TempStore;

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// Runs SQL on a database file with a connection of the test's own.
void RunSql(const std::string& file, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

// Expects f to throw a QueueError (not NoSuchQueue) whose text contains part.
template <typename F>
void ExpectStoreError(F f, const std::string& part) {
  try {
    f();
    ADD_FAILURE() << "no error; expected one mentioning '" << part << "'";
  } catch (const NoSuchQueue& error) {
    ADD_FAILURE() << "reported as a missing queue: " << error.what();
  } catch (const QueueError& error) {
    EXPECT_NE(std::string(error.what()).find(part), std::string::npos) << error.what();
  }
}

class QueueStoreFiles : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(store_.Folder()); }
  std::string DatabaseFile() const { return store_.Folder() + "/queues.db"; }

  TempStore store_;
};

TEST_F(QueueStoreFiles, AFileThatIsNotADatabaseIsRefused) {
  WriteFile(DatabaseFile(), std::string(8192, 'x') + "not a database at all");
  const std::string path = store_.Path("kvr_mailer");
  ExpectStoreError([&] { QueuePath(path).Open(Access::Send); }, "not a queue store");
  ExpectStoreError([&] { QueuePath(path).Create(); }, "not a queue store");
  ExpectStoreError([&] { ListQueues(store_.Folder()); }, "not a queue store");
}

TEST_F(QueueStoreFiles, AnotherProgramsDatabaseIsRefusedAndLeftAlone) {
  RunSql(DatabaseFile(), "CREATE TABLE queues(x); INSERT INTO queues VALUES (1);");
  const std::string path = store_.Path("kvr_mailer");
  ExpectStoreError([&] { QueuePath(path).Create(); }, "not a queue store");
  ExpectStoreError([&] { QueuePath(path).Open(Access::Receive); }, "not a queue store");
  // Still in its own journal mode: we did not convert it.
  EXPECT_FALSE(std::filesystem::exists(DatabaseFile() + "-wal"));
}

TEST_F(QueueStoreFiles, AStoreOfAnotherLayoutVersionIsRefused) {
  const std::string path = store_.Create("kvr_mailer");
  RunSql(DatabaseFile(), "PRAGMA user_version = 99;");
  ExpectStoreError([&] { QueuePath(path).Open(Access::Send); }, "another version");
}

TEST_F(QueueStoreFiles, ADamagedStoreGivesErrorsNotCrashes) {
  const std::string path = store_.Create("kvr_mailer");
  {
    auto sender = QueuePath(path).Open(Access::Send);
    for (int i = 0; i < 50; ++i) {
      sender->Send({"m", std::string(3000, 'b'), 3});
    }
  }
  // All connections closed: the journal has been folded into the file.
  ASSERT_FALSE(std::filesystem::exists(DatabaseFile() + "-wal") &&
               std::filesystem::file_size(DatabaseFile() + "-wal") > 0);
  {
    std::fstream file(DatabaseFile(), std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(4096);
    const std::string garbage(std::filesystem::file_size(DatabaseFile()) - 4096, '\x5a');
    file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
  }
  auto attempt = [&] {
    auto queue = QueuePath(path).Open(Access::Receive);
    auto message = queue->Receive(milliseconds(0));
    if (message) {
      message->Finish();
    }
    ListQueues(store_.Folder());
  };
  EXPECT_THROW(attempt(), QueueError);
}

TEST_F(QueueStoreFiles, AStoreThatCannotBeCreatedSaysWhy) {
  WriteFile(store_.Folder() + "/plain-file", "x");
  const std::string path = "file://" + store_.Folder() + "/plain-file/store/kvr_mailer";
  EXPECT_THROW(QueuePath(path).Create(), QueueError);
  EXPECT_THROW(QueuePath(path).Open(Access::Send), NoSuchQueue);
  EXPECT_TRUE(ListQueues(store_.Folder() + "/plain-file/store").empty());
}

TEST_F(QueueStoreFiles, NewStoresBelongToTheirOwnerUnlessGroupAccessIsAsked) {
  TempStore owner;
  const std::string path = owner.Create("kvr_mailer");
  QueuePath(path).Open(Access::Receive);
  EXPECT_EQ(ModeOf(owner.Folder()), 0700u);
  EXPECT_EQ(ModeOf(owner.Folder() + "/queues.db"), 0600u);
  EXPECT_EQ(ModeOf(owner.Folder() + "/bells"), 0700u);
  EXPECT_EQ(ModeOf(owner.Folder() + "/holders"), 0700u);
  for (const auto& entry : std::filesystem::directory_iterator(owner.Folder() + "/bells")) {
    EXPECT_EQ(ModeOf(entry.path().string()), 0600u);
  }

  TempStore shared;
  CreateQueue(shared.Path("kvr_mailer"), StoreAccess::Group);
  EXPECT_EQ(ModeOf(shared.Folder()), 02770u);
  EXPECT_EQ(ModeOf(shared.Folder() + "/queues.db"), 0660u);
  // A second queue in a shared store follows the store, whatever is asked.
  CreateQueue(shared.Path("kvr_mailer_rA"), StoreAccess::Owner);
  for (const auto& entry : std::filesystem::directory_iterator(shared.Folder() + "/bells")) {
    EXPECT_EQ(ModeOf(entry.path().string()), 0660u);
  }
}

TEST_F(QueueStoreFiles, AStoreLockedForTooLongGivesAClearErrorInTime) {
  const std::string path = store_.Create("kvr_mailer");
  const std::chrono::milliseconds previous = LockTimeout();
  SetLockTimeout(milliseconds(200));
  auto sender = QueuePath(path).Open(Access::Send);
  sqlite3* locker = nullptr;
  ASSERT_EQ(sqlite3_open(DatabaseFile().c_str(), &locker), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(locker, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

  const auto start = std::chrono::steady_clock::now();
  ExpectStoreError([&] { sender->Send({"m", "b", 3}); }, "locked");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));

  sqlite3_exec(locker, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(locker);
  SetLockTimeout(previous);
  // Nothing half-done stays behind: the same queue works again.
  EXPECT_NO_THROW(sender->Send({"m", "b", 3}));
  EXPECT_EQ(ListQueues(store_.Folder())[0].waiting, 1u);
}

// A writer that holds the store's writers' turn (here: the test, through its
// own descriptor of the lock file) keeps others out for no longer than the
// lock time-out, and a waiting writer goes ahead as soon as the turn is free.
TEST_F(QueueStoreFiles, AHeldWriteTurnIsWaitedForBoundedAndHandedOverAtOnce) {
  const std::string path = store_.Create("kvr_mailer");
  const std::chrono::milliseconds previous = LockTimeout();
  SetLockTimeout(milliseconds(200));
  auto sender = QueuePath(path).Open(Access::Send);
  const int turn = ::open((store_.Folder() + "/write.lock").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(turn, 0);
  ASSERT_EQ(::flock(turn, LOCK_EX), 0);

  auto start = std::chrono::steady_clock::now();
  ExpectStoreError([&] { sender->Send({"m", "b", 3}); }, "locked by another process");
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(150));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_TRUE(ListQueues(store_.Folder())[0].waiting == 0u);

  SetLockTimeout(std::chrono::seconds(20));
  std::thread holder([turn] {
    std::this_thread::sleep_for(milliseconds(100));
    ::flock(turn, LOCK_UN);
  });
  start = std::chrono::steady_clock::now();
  EXPECT_NO_THROW(sender->Send({"m", "b", 3}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  holder.join();
  ::close(turn);
  SetLockTimeout(previous);
  EXPECT_EQ(ListQueues(store_.Folder())[0].waiting, 1u);
}

TEST_F(QueueStoreFiles, TheWriteAheadLogIsCopiedBackAndStaysShort) {
  const std::string path = store_.Create("kvr_mailer");
  {
    auto sender = QueuePath(path).Open(Access::Send);
    for (int i = 0; i < 4; ++i) {
      sender->Send({"m", std::string(2000, 'x'), 3});
    }
  }
  // Every take and every return is a commit of a few pages; without copying
  // back, 3,000 rounds leave a log of well over 16 MB.
  auto receiver = QueuePath(path).Open(Access::Receive);
  for (int round = 0; round < 3000; ++round) {
    ASSERT_TRUE(receiver->Receive(milliseconds(0)));
  }
  const auto logSize = std::filesystem::file_size(store_.Folder() + "/queues.db-wal");
  EXPECT_LT(logSize, 16u << 20);
  EXPECT_EQ(ListQueues(store_.Folder())[0].waiting, 4u);
}

TEST_F(QueueStoreFiles, ABodyLargerThanAQueueTakesIsMeasuredNotReadAndMovesWhole) {
  const std::string inbound = store_.Create("kvr_mailer");
  const std::string dead = store_.Create("kvr_mailer_dead");
  // Written by hand, and as text, whose length SQL would read whole to count.
  std::string huge(kMaxReceivedBodyBytes + 7, 'h');
  huge.back() = '!';
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(DatabaseFile().c_str(), &db), SQLITE_OK);
  sqlite3_stmt* insert = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db,
                               "INSERT INTO messages(queue, priority, label, body) VALUES"
                               " ((SELECT id FROM queues WHERE name = 'kvr_mailer'), 7, 'big', ?1)",
                               -1, &insert, nullptr),
            SQLITE_OK);
  sqlite3_bind_text(insert, 1, huge.data(), static_cast<int>(huge.size()), SQLITE_STATIC);
  EXPECT_EQ(sqlite3_step(insert), SQLITE_DONE) << sqlite3_errmsg(db);
  sqlite3_finalize(insert);

  auto message = QueuePath(inbound).Open(Access::Receive)->Receive(milliseconds(0));
  ASSERT_TRUE(message);
  EXPECT_TRUE(message->BodyLeftOut());
  EXPECT_TRUE(message->Body().empty());
  EXPECT_EQ(message->BodySize(), huge.size());
  const PeekedMessage peeked = PeekQueue(inbound, true).at(0);
  EXPECT_TRUE(peeked.bodyLeftOut);
  EXPECT_EQ(peeked.size, huge.size());

  // Moved on, it keeps the body it has in the store, whatever next.body says.
  message->FinishAndSend(dead, {"Quillpost-Inbound", "", 7});
  sqlite3_stmt* read = nullptr;
  ASSERT_EQ(
      sqlite3_prepare_v2(db, "SELECT label, CAST(body AS BLOB) FROM messages", -1, &read, nullptr),
      SQLITE_OK);
  ASSERT_EQ(sqlite3_step(read), SQLITE_ROW);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(sqlite3_column_text(read, 0))),
            "Quillpost-Inbound");
  EXPECT_TRUE(std::string(static_cast<const char*>(sqlite3_column_blob(read, 1)),
                          static_cast<std::size_t>(sqlite3_column_bytes(read, 1))) == huge);
  EXPECT_EQ(sqlite3_step(read), SQLITE_DONE);
  sqlite3_finalize(read);
  sqlite3_close(db);
}

}  // namespace
}  // namespace quillpost::queue
