#include "queue/admin/queue_admin.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "queue/queue.h"
#include "queue_test_support.h"

namespace quillpost::queue {
namespace {

using std::chrono::milliseconds;
using testing::Backend;
using testing::BothBackends;
using testing::TempStore;

class QueueAdmin : public BothBackends {
 protected:
  void SetUp() override {
    BothBackends::SetUp();
    if (!IsSkipped()) {
      inbound_ = Space().Create("kvr_mailer");
      retry_ = Space().Create("kvr_mailer_rA");
    }
  }
  void SendAll(const std::string& path, const std::vector<Message>& messages) {
    auto queue = QueuePath(path).Open(Access::Send);
    for (const Message& message : messages) {
      queue->Send(message);
    }
  }
  std::vector<std::string> Labels(const std::string& path) {
    std::vector<std::string> labels;
    for (const PeekedMessage& message : PeekQueue(path, false)) {
      labels.push_back(message.label);
    }
    return labels;
  }

  std::string inbound_;
  std::string retry_;
};

TEST_P(QueueAdmin, ListCountsWaitingAndInHandMessages) {
  SendAll(inbound_, {{"a", "", 3}, {"b", "", 3}, {"c", "", 3}});
  auto receiver = QueuePath(inbound_).Open(Access::Receive);
  auto held = receiver->Receive(milliseconds(0));
  const std::vector<QueueInfo> queues = Space().List();
  ASSERT_EQ(queues.size(), 2u);
  EXPECT_EQ(queues[0].name, "kvr_mailer");
  EXPECT_EQ(queues[0].waiting, 2u);
  EXPECT_EQ(queues[1].name, "kvr_mailer_rA");
  EXPECT_EQ(queues[1].waiting + queues[1].inHand, 0u);
  EXPECT_TRUE(Space().ListEventually([](const auto& list) { return list[0].inHand == 1; }));
  TempStore none;
  EXPECT_TRUE(ListQueues(none.Folder()).empty());
}

TEST_P(QueueAdmin, PeekShowsReceiveOrderAndBodiesOnlyOnRequest) {
  SendAll(inbound_, {{"low", "1234", 1}, {"high", "xy", 7}});
  auto receiver = QueuePath(inbound_).Open(Access::Receive);
  SendAll(inbound_, {{"later-high", "z", 7}});
  // Receive order: "high", "later-high", "low" (on a quorum queue, as sent).
  const bool priorities = Space().KeepsPriorities();
  const std::string inHand = priorities ? "high" : "low";
  struct Waiting {
    std::string label;
    int priority;
    std::size_t size;
    std::string body;
  };
  const Waiting second =
      priorities ? Waiting{"low", 1, 4, "1234"} : Waiting{"later-high", 7, 1, "z"};
  auto held = receiver->Receive(milliseconds(0));
  std::vector<PeekedMessage> peeked = PeekQueue(inbound_, false);
  // A broker shows only what waits; what receivers hold is theirs.
  ASSERT_EQ(peeked.size(), Space().SeesInHand() ? 3u : 2u);
  const std::string first = priorities ? "later-high" : "high";
  EXPECT_EQ(peeked[0].label, first);
  EXPECT_EQ(peeked[1].label, second.label);
  EXPECT_EQ(peeked[1].size, second.size);
  EXPECT_EQ(peeked[1].priority, second.priority);
  EXPECT_TRUE(peeked[1].body.empty());
  EXPECT_FALSE(peeked[1].inHand);
  if (Space().SeesInHand()) {
    EXPECT_EQ(peeked[2].label, inHand);
    EXPECT_TRUE(peeked[2].inHand);
  }
  peeked = PeekQueue(inbound_, true, 2);
  ASSERT_EQ(peeked.size(), 2u);
  EXPECT_EQ(peeked[1].body, second.body);
  // Peeking takes nothing, and keeps the order.
  EXPECT_EQ(Space().List()[0].waiting, 2u);
  EXPECT_EQ(Labels(inbound_).front(), first);
  held->Finish();
  EXPECT_EQ(receiver->Receive(milliseconds(0))->Label(), first);
  EXPECT_THROW(PeekQueue(Space().Path("absent"), false), NoSuchQueue);
}

TEST_P(QueueAdmin, PurgeLeavesMessagesInHandToTheirReceivers) {
  SendAll(inbound_, {{"a", "", 3}, {"b", "", 3}, {"c", "", 3}});
  auto receiver = QueuePath(inbound_).Open(Access::Receive);
  auto held = receiver->Receive(milliseconds(0));
  EXPECT_EQ(PurgeQueue(inbound_), 2u);
  EXPECT_NO_THROW(held->Finish());
  EXPECT_TRUE(PeekQueue(inbound_, false).empty());
}

TEST_P(QueueAdmin, MoveKeepsMessagesTheirPrioritiesAndTheirOrder) {
  SendAll(retry_, {{"old", "", 3}});
  SendAll(inbound_, {{"r1", "body1", 2}, {"r2", "body2", 6}, {"r3", "body3", 2}});
  EXPECT_EQ(MoveMessages(inbound_, retry_), 3u);
  EXPECT_TRUE(PeekQueue(inbound_, false).empty());
  const bool priorities = Space().KeepsPriorities();
  EXPECT_EQ(Labels(retry_), priorities ? (std::vector<std::string>{"r2", "old", "r1", "r3"})
                                       : (std::vector<std::string>{"old", "r1", "r2", "r3"}));
  const std::vector<PeekedMessage> moved = PeekQueue(retry_, true);
  EXPECT_EQ(moved[priorities ? 0 : 2].body, "body2");
  EXPECT_EQ(moved[priorities ? 0 : 2].priority, 6);

  EXPECT_THROW(MoveMessages(retry_, retry_), QueueError);
  const auto other = Elsewhere();
  const std::string elsewhere = other->Create("kvr_mailer");
  EXPECT_THROW(MoveMessages(retry_, elsewhere), QueueError);
  EXPECT_EQ(Labels(retry_).size(), 4u);
  EXPECT_THROW(MoveMessages(retry_, Space().Path("absent")), NoSuchQueue);
}

TEST_P(QueueAdmin, DeleteRemovesTheQueueWithItsMessages) {
  SendAll(inbound_, {{"a", "", 3}});
  DeleteQueue(inbound_);
  EXPECT_THROW(DeleteQueue(inbound_), NoSuchQueue);
  EXPECT_TRUE(CreateQueue(inbound_));
  EXPECT_TRUE(PeekQueue(inbound_, false).empty());
}

INSTANTIATE_TEST_SUITE_P(Backends, QueueAdmin, ::testing::Values(Backend::Store, Backend::Broker),
                         testing::BackendName);

}  // namespace
}  // namespace quillpost::queue
