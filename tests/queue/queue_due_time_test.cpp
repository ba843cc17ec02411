// A message that is not due yet: neither received nor reported before its
// time, reported when it comes due, shown with its time and last failure;
// and stores of the layout before due times are brought up to date.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "queue/admin/queue_admin.h"
#include "queue/queue.h"
#include "queue_test_support.h"

namespace quillpost::queue {
namespace {

using std::chrono::milliseconds;

class CountingSink final : public ArrivalSink {
 public:
  void Arrived(OpenQueue& /*queue*/, long /*cursor*/) override { ++arrivals; }
  int arrivals = 0;
};

TEST(QueueDueTime, NotDueMessageIsHiddenUntilItsTimeThenReported) {
  const testing::TempStore store;
  const std::string path = store.Create("kvr_mailer_rB");
  Message later{"Quillpost-Retry:3", "document", 7};
  later.notBefore = std::chrono::system_clock::now() + milliseconds(1500);
  later.lastFailure = "failure 10: no connection";
  QueuePath(path).Open(Access::Send)->Send(later);

  auto queue = QueuePath(path).Open(Access::Receive);
  EXPECT_FALSE(queue->Receive(milliseconds(0)));
  const auto peeked = PeekQueue(path, false);
  ASSERT_EQ(peeked.size(), 1U);
  EXPECT_EQ(peeked[0].lastFailure, "failure 10: no connection");
  EXPECT_GT(peeked[0].notBefore, std::chrono::system_clock::now());

  CountingSink sink;
  queue->EnableNotification(sink);
  EXPECT_FALSE(testing::Readable(queue->NotificationDescriptor(), milliseconds(200)));
  ASSERT_TRUE(testing::Readable(queue->NotificationDescriptor(), milliseconds(4000)));
  EXPECT_GE(std::chrono::system_clock::now(), later.notBefore);
  queue->DeliverNotification();
  EXPECT_EQ(sink.arrivals, 1);
  auto message = queue->Receive(milliseconds(0));
  ASSERT_TRUE(message);
  EXPECT_EQ(message->Body(), "document");
  message->Finish();
}

TEST(QueueDueTime, StoreOfTheEarlierLayoutIsUpdatedAndKeepsItsMessages) {
  const testing::TempStore store;
  const std::string path = store.Create("kvr_mailer");
  QueuePath(path).Open(Access::Send)->Send({"Quillpost-Inbound", "kept", 7});
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((store.Folder() + "/queues.db").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "ALTER TABLE messages DROP COLUMN not_before;"
                         "ALTER TABLE messages DROP COLUMN last_failure;"
                         "PRAGMA user_version = 1;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK)
      << sqlite3_errmsg(db);
  sqlite3_close(db);

  auto message = QueuePath(path).Open(Access::Receive)->Receive(milliseconds(0));
  ASSERT_TRUE(message);
  EXPECT_EQ(message->Body(), "kept");
  message->Finish();
}

}  // namespace
}  // namespace quillpost::queue
