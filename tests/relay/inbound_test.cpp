#include "relay_test_support.h"

namespace quillpost::relay::testing {
namespace {

class InboundTest : public ServiceTest {
 protected:
  void SetUp() override {
    Start();
    log.entries.clear();
  }
};

TEST_F(InboundTest, DeliveredRequestLeavesTheStoreWithoutALogLine) {
  Arrive(Inbound(), "Quillpost-Inbound");
  EXPECT_EQ(mails.Sent().size(), 1U);
  EXPECT_TRUE(Waiting("kvr_mailer").empty());
  EXPECT_EQ(store.inHand, 0);
  EXPECT_TRUE(log.entries.empty());
  EXPECT_TRUE(Inbound().Armed());
}

TEST_F(InboundTest, FailedRequestMovesToRetryQueueBWithCountThree) {
  FailSends(40);
  Arrive(Inbound(), "Quillpost-Inbound");
  ASSERT_EQ(Waiting("kvr_mailer_rB").size(), 1U);
  const queue::Message& retry = Waiting("kvr_mailer_rB").front();
  EXPECT_EQ(retry.label, "Quillpost-Retry:3");
  EXPECT_EQ(ValuesOf(retry.body), ValuesOf(kRequest));
  EXPECT_EQ(retry.priority, 7);
  EXPECT_EQ(store.inHand, 0);
  ASSERT_EQ(log.entries.size(), 2U);
  EXPECT_EQ(log.entries[0].first, "SMTP server has rejected the recipient(s)");
  EXPECT_TRUE(log.entries[0].second.starts_with("Id=")) << log.entries[0].second;
  EXPECT_EQ(log.entries[1],
            (std::pair<std::string, std::string>{"Message submitted for retry to queue 'B'",
                                                 "Lable=Quillpost-Retry:3"}));
  EXPECT_EQ(status->RetryAllowance, 4);
  EXPECT_TRUE(Inbound().Armed());
}

TEST_F(InboundTest, OtherLabelsAreLoggedAndDropped) {
  for (const std::string label : {"quillpost-inbound", "Quillpost-Retry:3", ""}) {
    log.entries.clear();
    Arrive(Inbound(), label);
    EXPECT_EQ(log.entries, (LogLines{{"Invalid message recieved (data is label)", label}}));
    EXPECT_TRUE(Waiting("kvr_mailer").empty());
    EXPECT_TRUE(Inbound().Armed());
  }
  EXPECT_TRUE(mails.Sent().empty());
  EXPECT_EQ(store.inHand, 0);
}

TEST_F(InboundTest, ArrivalOnAnEmptyQueueOnlyRearms) {
  const int arms = Inbound().armCount;
  status->requestevent_Arrived(Inbound(), 0);
  EXPECT_EQ(Inbound().armCount, arms + 1);
  EXPECT_TRUE(log.entries.empty());
}

TEST_F(InboundTest, SeveralWaitingMessagesAreTakenInOneArrival) {
  for (int i = 0; i < 3; ++i) {
    store.Put("kvr_mailer", "Quillpost-Inbound", kRequest);
  }
  const int arms = Inbound().armCount;
  Inbound().DeliverNotification();
  EXPECT_EQ(mails.Sent().size(), 3U);
  EXPECT_EQ(Inbound().receiveCount, 4);  // the last finds the queue empty
  EXPECT_EQ(Inbound().armCount, arms + 1);
}

TEST_F(InboundTest, UnreadableRequestsGoToTheDeadLetterQueueUnchanged) {
  const std::string noSubject =
      "<Quillpost-1.0><Routing><FROM>a@x</FROM><FROM-NAME>A</FROM-NAME><TO>b@y</TO></Routing>"
      "</Quillpost-1.0>";
  // Shapes a writer may put straight into a store, which the one reader
  // refuses: a NUL that would cut an address short, a document type
  // declaration, text after the root, a raw control character; and whole
  // messages the library would have refused: empty, and one holding a NUL.
  const std::string request = kRequest;
  const std::string nul = "<Quillpost-1.0><TO>cy@example.org&#0;,evil@example.org</TO>" +
                          request.substr(std::string_view("<Quillpost-1.0>").size());
  const auto whole = [](const std::string& element) {
    return kRequest.substr(0, kRequest.rfind("</Quillpost-1.0>")) + element + "</Quillpost-1.0>";
  };
  for (const std::string& body :
       {std::string("not a document <"), noSubject, nul, "<!DOCTYPE x []>" + request,
        request + "trailing", "<Quillpost-1.0>\x01" + request.substr(15), whole("<WHOLE-MESSAGE/>"),
        whole("<WHOLE-MESSAGE>U3ViamVjdDogeA0KDQpudWwgAA0K</WHOLE-MESSAGE>")}) {
    log.entries.clear();
    Arrive(Inbound(), "Quillpost-Inbound", body);
    ASSERT_FALSE(Waiting("kvr_mailer_dead").empty());
    EXPECT_EQ(Waiting("kvr_mailer_dead").back().label, "Quillpost-Inbound");
    EXPECT_EQ(Waiting("kvr_mailer_dead").back().body, body);
    ASSERT_EQ(log.entries.size(), 1U);
    EXPECT_EQ(log.entries[0].first, "Request cannot be dispatched; moved to dead-letter queue");
    EXPECT_TRUE(log.entries[0].second.starts_with("Queue=kvr_mailer, Error="));
    EXPECT_TRUE(Inbound().Armed());
  }
  EXPECT_TRUE(Waiting("kvr_mailer_rB").empty());
  EXPECT_TRUE(mails.Sent().empty());
  EXPECT_EQ(store.inHand, 0);
}

TEST_F(InboundTest, EveryTrySendsTheValuesAsAcceptedWhateverShapeTheyCameIn) {
  // A carriage return, a stray element inside an address, and a request as
  // large as a queue takes from a sender: the next try, from the retry queue
  // the relay put it on, sends exactly the same and is not refused as too large.
  std::string body =
      "<Quillpost-1.0><Routing><FROM>ann@example.org</FROM><FROM-NAME>Ann</FROM-NAME>"
      "<TO>temp<Relay/>@example.org</TO></Routing><Message><SUBJECT>S</SUBJECT>"
      "<BODY>one&#13;two</BODY></Message><Attachments/></Quillpost-1.0>";
  body.insert(body.find("</BODY>"), queue::kMaxBodyBytes - body.size(), 'x');
  FailSends(451);
  Arrive(Inbound(), "Quillpost-Inbound", body);
  status->retryswap_Timer();
  RetryB().DeliverNotification();
  ASSERT_EQ(mails.Sent().size(), 2U);
  EXPECT_TRUE(Waiting("kvr_mailer_dead").empty());
  for (const auto& mail : mails.Sent()) {
    EXPECT_EQ(mail.calls.at(4), "AddRecipient:temp@example.org");
    EXPECT_TRUE(mail.calls.at(6).starts_with("SetBody:one\rtwoxxx"))
        << mail.calls.at(6).substr(0, 20);
  }
}

TEST_F(InboundTest, OversizedRequestIsNeverDispatchedAndTheNextIsDelivered) {
  const std::string huge(queue::kMaxBodyBytes * 2, '<');
  const auto putAheadOfAGoodOne = [&] {
    log.entries.clear();
    store.Put("kvr_mailer", "Quillpost-Inbound", huge);
    store.Put("kvr_mailer", "Quillpost-Inbound", kRequest);
    Inbound().DeliverNotification();
    Inbound().DeliverNotification();
    EXPECT_TRUE(Waiting("kvr_mailer").empty());
    EXPECT_TRUE(Inbound().Armed());
    return log.entries.empty() ? std::string() : log.entries.back().first;
  };
  EXPECT_EQ(putAheadOfAGoodOne(), "Request too large; moved to dead-letter queue");
  EXPECT_EQ(mails.Sent().size(), 1U);
  ASSERT_EQ(Waiting("kvr_mailer_dead").size(), 1U);
  EXPECT_EQ(Waiting("kvr_mailer_dead").front().body, huge);

  // Even with the dead-letter queue refusing it, it stays in hand, out of the way.
  store.failMoveTo.insert("kvr_mailer_dead");
  EXPECT_EQ(putAheadOfAGoodOne(),
            "Request too large and not movable; set aside until the relay stops");
  EXPECT_EQ(mails.Sent().size(), 2U);
  EXPECT_EQ(store.inHand, 1);
}

TEST_F(InboundTest, SingleTryAllowanceDeadLettersOnFirstFailure) {
  ServiceTest::Start([] {
    Settings settings;
    settings.retryAllowance = 1;
    settings.notifyFailure = false;  // a notice would fail and be dead-lettered too
    return settings;
  }());
  log.entries.clear();
  FailSends(200);
  Arrive(Inbound(), "Quillpost-Inbound");
  EXPECT_TRUE(Waiting("kvr_mailer_rB").empty());
  EXPECT_EQ(Waiting("kvr_mailer_dead").size(), 1U);
  EXPECT_EQ(log.entries[1], (std::pair<std::string, std::string>{
                                "Retry allowance used up; request moved to dead-letter queue",
                                "Lable=Quillpost-Inbound"}));
}

TEST_F(InboundTest, FailedReQueueDeadLettersTheRequest) {
  store.failMoveTo.insert("kvr_mailer_rB");
  FailSends(20);
  Arrive(Inbound(), "Quillpost-Inbound");
  EXPECT_EQ(Waiting("kvr_mailer_dead").size(), 1U);
  ASSERT_EQ(log.entries.size(), 3U);
  EXPECT_EQ(log.entries[1], (std::pair<std::string, std::string>{
                                "Unable to re-queue message for retry", "Queue=B"}));
  EXPECT_EQ(log.entries[2].first, "Request moved to dead-letter queue after failed re-queue");
  EXPECT_TRUE(Inbound().Armed());
}

TEST_F(InboundTest, MessageStaysOnItsQueueWhenNothingCanTakeIt) {
  store.failMoveTo = {"kvr_mailer_rB", "kvr_mailer_dead"};
  FailSends(20);
  Arrive(Inbound(), "Quillpost-Inbound");
  // Back on the inbound queue, and the queue rests until the next tick
  // instead of spinning on it.
  ASSERT_EQ(Waiting("kvr_mailer").size(), 1U);
  EXPECT_EQ(Waiting("kvr_mailer").front().label, "Quillpost-Inbound");
  EXPECT_EQ(store.inHand, 0);
  EXPECT_FALSE(Inbound().Armed());
  EXPECT_EQ(log.entries.back().first, "Unable to move request to dead-letter queue");
  EXPECT_FALSE(eventLog.empty());

  store.failMoveTo.clear();
  SucceedSends();
  status->retryswap_Timer();
  ASSERT_TRUE(Inbound().Armed());
  Inbound().DeliverNotification();
  EXPECT_TRUE(Waiting("kvr_mailer").empty());
}

TEST_F(InboundTest, StoreFailuresAreLoggedAndRetriedAtTheNextTick) {
  store.failReceive = true;
  Arrive(Inbound(), "Quillpost-Inbound");
  EXPECT_EQ(log.entries.back().first, "Unable to receive from queue");
  EXPECT_FALSE(Inbound().Armed());
  store.failReceive = false;

  store.failArms = 2;
  status->retryswap_Timer();
  EXPECT_FALSE(Inbound().Armed());
  EXPECT_EQ(log.entries.back().first, "Unable to re-arm queue notification");
  status->retryswap_Timer();
  ASSERT_TRUE(Inbound().Armed());
  Inbound().DeliverNotification();
  EXPECT_EQ(mails.Sent().size(), 1U);
}

TEST_F(InboundTest, DeliveredRequestThatCannotBeRemovedIsReported) {
  store.failFinish = true;
  Arrive(Inbound(), "Quillpost-Inbound");
  EXPECT_EQ(log.entries.back().first, "Unable to remove delivered request from its queue");
  EXPECT_EQ(Waiting("kvr_mailer").size(), 1U);
  EXPECT_TRUE(Waiting("kvr_mailer_dead").empty());
  EXPECT_FALSE(eventLog.empty());
}

}  // namespace
}  // namespace quillpost::relay::testing
