#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "queue/admin/queue_admin.h"
#include "queue/queue.h"
#include "queue_test_support.h"

namespace quillpost::queue {
namespace {

using std::chrono::milliseconds;
using testing::Backend;
using testing::BothBackends;

class QueueMessages : public BothBackends {
 protected:
  void SetUp() override {
    BothBackends::SetUp();
    if (!IsSkipped()) {
      path_ = Space().Create("kvr_mailer");
    }
  }
  std::unique_ptr<OpenQueue> Receiver(const std::string& path) {
    return QueuePath(path).Open(Access::Receive);
  }
  void SendTo(const std::string& path, const Message& message) {
    auto queue = QueuePath(path).Open(Access::Send);
    queue->Send(message);
    queue->Close();
  }
  // The body, also one left out of memory, read a piece at a time.
  static std::string BodyOf(const ReceivedMessage& message) {
    const auto stream = message.OpenBody();
    std::string body(stream->Size(), '\0');
    for (std::size_t at = 0; at < body.size();) {
      at += stream->Read(at, body.data() + at, std::min<std::size_t>(1 << 20, body.size() - at));
    }
    return body;
  }

  std::string path_;
};

TEST_P(QueueMessages, LabelBodyAndPriorityComeBackUnchanged) {
  const std::vector<Message> sent = {
      {"Quillpost-Inbound", "<Quillpost-1.0><Routing/></Quillpost-1.0>", 7},
      {"Überweisung – 日本語 ✉", "Grüße, 你好, emoji 😀", 0},
      {"", "", 5},
      {std::string(kMaxLabelLength, 'x'), std::string(MaxBodyBytesFor(path_), 'b'), 5},
      {"binary", std::string("a\0b\xff", 4), 5},
  };
  for (const Message& message : sent) {
    SendTo(path_, message);
  }
  auto queue = Receiver(path_);
  // Priority 7 first, then 5 in the order sent, then 0 (on a quorum queue:
  // as sent).
  const std::vector<std::size_t> order = Space().KeepsPriorities()
                                             ? std::vector<std::size_t>{0, 2, 3, 4, 1}
                                             : std::vector<std::size_t>{0, 1, 2, 3, 4};
  for (const std::size_t index : order) {
    auto received = queue->Receive(milliseconds(0));
    ASSERT_TRUE(received) << "message " << index;
    EXPECT_EQ(received->Label(), sent[index].label);
    EXPECT_TRUE(BodyOf(*received) == sent[index].body) << "message " << index;
    EXPECT_EQ(received->Priority(), sent[index].priority);
    received->Finish();
  }
  EXPECT_FALSE(queue->Receive(milliseconds(0)));
}

TEST_P(QueueMessages, HigherPriorityFirstAndOldestFirstWithinAPriority) {
  const std::vector<std::pair<std::string, int>> sent = {{"low1", 1},  {"high1", 7}, {"mid1", 4},
                                                         {"high2", 7}, {"low2", 1},  {"mid2", 4}};
  for (const auto& [label, priority] : sent) {
    SendTo(path_, {label, "", priority});
  }
  auto queue = Receiver(path_);
  std::vector<std::string> order;
  while (auto message = queue->Receive(milliseconds(0))) {
    order.push_back(message->Label());
    message->Finish();
  }
  EXPECT_EQ(order,
            Space().KeepsPriorities()
                ? (std::vector<std::string>{"high1", "high2", "mid1", "mid2", "low1", "low2"})
                : (std::vector<std::string>{"low1", "high1", "mid1", "high2", "low2", "mid2"}));
}

TEST_P(QueueMessages, ReceiveWaitsForTheTimeOutAndNoLonger) {
  auto queue = Receiver(path_);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(queue->Receive(milliseconds(150)));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, milliseconds(140));
  EXPECT_LT(waited, milliseconds(2000));
}

TEST_P(QueueMessages, MissingQueuesAreReportedAsSuch) {
  EXPECT_THROW(QueuePath(Space().Path("absent")).Open(Access::Send), NoSuchQueue);
  EXPECT_THROW(QueuePath(Space().Path("absent")).Open(Access::Receive), NoSuchQueue);
  const auto empty = Elsewhere();
  EXPECT_THROW(QueuePath(empty->Path("kvr_mailer")).Open(Access::Send), NoSuchQueue);
  EXPECT_FALSE(QueuePath(empty->Path("kvr_mailer")).Exists());
  EXPECT_THROW(QueuePath(Space().Path("absent")).Delete(), NoSuchQueue);

  // A queue deleted while open for sending stores nothing and says so.
  auto sender = QueuePath(path_).Open(Access::Send);
  QueuePath(path_).Delete();
  EXPECT_THROW(sender->Send({"x", "y", 3}), NoSuchQueue);
  EXPECT_FALSE(QueuePath(path_).Exists());
}

TEST_P(QueueMessages, CreateReportsWhetherTheQueueIsNew) {
  EXPECT_FALSE(QueuePath(path_).Create());
  EXPECT_TRUE(QueuePath(Space().Path("kvr_mailer_rA")).Create());
  EXPECT_TRUE(QueuePath(Space().Path("kvr_mailer_rA")).Exists());
}

TEST_P(QueueMessages, BadMessagesAreRefusedAndNothingIsStored) {
  auto queue = QueuePath(path_).Open(Access::Send);
  EXPECT_THROW(queue->Send({std::string(kMaxLabelLength + 1, 'x'), "", 3}), InvalidMessage);
  EXPECT_THROW(queue->Send({"ok", std::string(MaxBodyBytesFor(path_) + 1, 'b'), 3}),
               InvalidMessage);
  EXPECT_THROW(queue->Send({"ok", "", -1}), InvalidMessage);
  EXPECT_THROW(queue->Send({"ok", "", 8}), InvalidMessage);
  EXPECT_THROW(queue->Send({"bad \xc3\x28 utf-8", "", 3}), InvalidMessage);
  EXPECT_THROW(queue->Send({"overlong \xc0\xaf", "", 3}), InvalidMessage);
  // 250 characters of two bytes each are within the limit.
  std::string wide;
  for (std::size_t i = 0; i < kMaxLabelLength; ++i) {
    wide += "é";
  }
  EXPECT_NO_THROW(queue->Send({wide, "", 3}));
  const auto info = Space().List();
  ASSERT_EQ(info.size(), 1u);
  EXPECT_EQ(info[0].waiting, 1u);
}

TEST_P(QueueMessages, AccessIsCheckedAndAClosedQueueRefusesWork) {
  auto sender = QueuePath(path_).Open(Access::Send);
  EXPECT_THROW(sender->Receive(milliseconds(0)), QueueError);
  auto receiver = Receiver(path_);
  EXPECT_THROW(receiver->Send({"x", "", 3}), QueueError);
  receiver->Close();
  EXPECT_THROW(receiver->Receive(milliseconds(0)), QueueError);
  EXPECT_THROW(QueuePath(path_).Open(static_cast<Access>(3)), QueueError);
}

TEST_P(QueueMessages, AMessageInHandIsHiddenUntilDroppedOrFinished) {
  SendTo(path_, {"only", "body", 3});
  auto first = Receiver(path_);
  auto second = Receiver(path_);
  {
    auto held = first->Receive(milliseconds(0));
    ASSERT_TRUE(held);
    EXPECT_FALSE(second->Receive(milliseconds(0)));
    if (Space().SeesInHand()) {
      EXPECT_EQ(Space().List()[0].inHand, 1u);
    }
  }
  // Dropped unfinished: back on the queue for anyone (on a quorum queue a
  // moment later).
  auto again = second->Receive(milliseconds(5000));
  ASSERT_TRUE(again);
  EXPECT_EQ(again->Label(), "only");
  again->Finish();
  EXPECT_FALSE(again->Held());
  EXPECT_THROW(again->Finish(), QueueError);
  EXPECT_FALSE(first->Receive(milliseconds(0)));
}

TEST_P(QueueMessages, AReceivedMessageOutlivesItsQueue) {
  SendTo(path_, {"late", "", 3});
  auto queue = Receiver(path_);
  auto message = queue->Receive(milliseconds(0));
  queue->Close();
  queue.reset();
  ASSERT_TRUE(message);
  message->Finish();
  EXPECT_TRUE(Space().ListEventually(
      [](const auto& list) { return list[0].waiting + list[0].inHand == 0; }));
}

TEST_P(QueueMessages, LettingGoOfAMessageOfADeletedQueueLeavesOthersInHand) {
  SendTo(path_, {"old", "", 3});
  auto held = Receiver(path_)->Receive(milliseconds(0));
  ASSERT_TRUE(held);
  QueuePath(path_).Delete();
  // The store numbers its messages afresh once the highest is gone.
  const std::string other = Space().Create("kvr_mailer_rB");
  SendTo(other, {"new", "", 3});
  auto receiver = Receiver(other);
  auto taken = receiver->Receive(milliseconds(0));
  ASSERT_TRUE(taken);
  held.reset();
  EXPECT_FALSE(Receiver(other)->Receive(milliseconds(0)));
  taken->Finish();
}

TEST_P(QueueMessages, FinishAndSendMovesInOneStep) {
  const std::string retry = Space().Create("kvr_mailer_rB");
  SendTo(path_, {"Quillpost-Inbound", "document", 7});
  const std::string id = PeekQueue(path_, false).at(0).id;
  EXPECT_FALSE(id.empty());
  auto queue = Receiver(path_);
  auto message = queue->Receive(milliseconds(0));
  ASSERT_TRUE(message);

  // Refusals leave the message in hand and store nothing.
  EXPECT_THROW(message->FinishAndSend(Space().Path("absent"), {"Quillpost-Retry:3", "d", 7}),
               NoSuchQueue);
  EXPECT_THROW(message->FinishAndSend(retry, {"Quillpost-Retry:3", "d", 9}), InvalidMessage);
  const auto other = Elsewhere();
  const std::string elsewhere = other->Create("kvr_mailer_rB");
  EXPECT_THROW(message->FinishAndSend(elsewhere, {"Quillpost-Retry:3", "d", 7}), QueueError);
  EXPECT_TRUE(message->Held());

  // A stored message moves on whatever its size; only new sends are limited.
  const std::string oversized(MaxBodyBytesFor(retry) + 1, 'd');
  message->FinishAndSend(retry, {"Quillpost-Retry:3", oversized, 7});
  EXPECT_FALSE(message->Held());
  EXPECT_FALSE(queue->Receive(milliseconds(0)));
  EXPECT_EQ(PeekQueue(retry, false).at(0).id, id);  // the same message, wherever it goes
  auto moved = Receiver(retry)->Receive(milliseconds(0));
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->Label(), "Quillpost-Retry:3");
  EXPECT_EQ(moved->BodySize(), oversized.size());
  EXPECT_EQ(moved->Body(), moved->BodyLeftOut() ? "" : oversized);  // a store measures it only
  moved->Finish();
}

// A store leaves a large body where it is: it is read there, and a message
// moved on keeps a part of it, copied within the store.
TEST_P(QueueMessages, ABodyLeftOutIsReadAndKeptWhereItIsStored) {
  const std::string retry = Space().Create("kvr_mailer_rB");
  const bool store = GetParam() == Backend::Store;
  std::string body;
  while (body.size() < (store ? kMaxHeldBodyBytes + 4097 : 3000)) {
    body += std::to_string(body.size()) + ' ';
  }
  SendTo(path_, {"Quillpost-Inbound", body, 7});
  auto message = Receiver(path_)->Receive(milliseconds(0));
  ASSERT_TRUE(message);
  EXPECT_EQ(message->BodyLeftOut(), store);
  EXPECT_TRUE(BodyOf(*message) == body);

  const KeptBody kept{5, 100, body.size() - 200};
  EXPECT_THROW(message->FinishAndSendKeeping(retry, {"Quillpost-Retry:1", "head", 7}, kept),
               QueueError);
  message->FinishAndSendKeeping(retry, {"Quillpost-Retry:1", "head[]tail", 7}, kept);
  auto moved = Receiver(retry)->Receive(milliseconds(0));
  ASSERT_TRUE(moved);
  EXPECT_TRUE(BodyOf(*moved) == "head[" + body.substr(100, body.size() - 200) + "]tail");
  moved->Finish();
}

TEST_P(QueueMessages, MessageNotDueYetComesOnlyAtItsTimeWithItsLastFailure) {
  const std::string retry = Space().Create("kvr_mailer_rB");
  SendTo(path_, {"Quillpost-Inbound", "document", 7});
  auto message = Receiver(path_)->Receive(milliseconds(0));
  ASSERT_TRUE(message);
  Message later{"Quillpost-Retry:3", "document", 7};
  later.notBefore = std::chrono::system_clock::now() + milliseconds(700);
  later.lastFailure = "failure 10: no connection";
  message->FinishAndSend(retry, later);

  auto queue = Receiver(retry);
  EXPECT_FALSE(queue->Receive(milliseconds(300)));
  auto due = queue->Receive(milliseconds(5000));
  ASSERT_TRUE(due);
  EXPECT_GE(std::chrono::system_clock::now(), later.notBefore);
  EXPECT_EQ(due->Label(), "Quillpost-Retry:3");
  EXPECT_EQ(due->Priority(), 7);
  EXPECT_EQ(due->LastFailure(), "failure 10: no connection");
  due->Finish();
}

INSTANTIATE_TEST_SUITE_P(Backends, QueueMessages,
                         ::testing::Values(Backend::Store, Backend::Broker), testing::BackendName);

}  // namespace
}  // namespace quillpost::queue
