#include "relay/retry_label.h"
#include "relay_test_support.h"

namespace quillpost::relay::testing {
namespace {

class RetryTest : public ServiceTest {
 protected:
  void SetUp() override {
    Start();
    log.entries.clear();
  }
};

TEST_F(RetryTest, QueueWithoutTheTurnKeepsItsMessageUntilATickGivesItTheTurn) {
  Arrive(RetryB(), "Quillpost-Retry:3");
  EXPECT_EQ(RetryB().receiveCount, 0);
  EXPECT_EQ(Waiting("kvr_mailer_rB").size(), 1U);
  EXPECT_FALSE(RetryB().Armed());  // no spinning on a message it may not take
  EXPECT_TRUE(log.entries.empty());

  status->retryswap_Timer();
  EXPECT_EQ(status->ActiveRetryQueue, "B");
  ASSERT_TRUE(RetryB().Armed());
  RetryB().DeliverNotification();
  EXPECT_TRUE(Waiting("kvr_mailer_rB").empty());
  EXPECT_EQ(mails.Sent().size(), 1U);
  EXPECT_TRUE(log.entries.empty());
}

TEST_F(RetryTest, FailedRetryGoesToTheOtherQueueWithTheCountOneLower) {
  FailSends(50);
  Arrive(RetryA(), "Quillpost-Retry:2");
  ASSERT_EQ(Waiting("kvr_mailer_rB").size(), 1U);
  EXPECT_EQ(Waiting("kvr_mailer_rB").front().label, "Quillpost-Retry:1");
  ASSERT_EQ(log.entries.size(), 2U);
  EXPECT_EQ(log.entries[0].first, "SMTP server is not ready to recieve your message");
  EXPECT_EQ(log.entries[1],
            (std::pair<std::string, std::string>{"Message submitted for retry to queue 'B'",
                                                 "Lable=Quillpost-Retry:1"}));
  EXPECT_TRUE(RetryA().Armed());
}

TEST_F(RetryTest, AnyCharacterMayStandInTheColonsPlace) {
  FailSends(50);
  Arrive(RetryA(), "Quillpost-RetryX5");
  ASSERT_EQ(Waiting("kvr_mailer_rB").size(), 1U);
  EXPECT_EQ(Waiting("kvr_mailer_rB").front().label, "Quillpost-Retry:4");
}

TEST_F(RetryTest, LabelsNotStartingLikeARetryAreLoggedAndDropped) {
  for (const std::string label : {"Quillpost-Inbound", "", "quillpost-retry:2", "Quillpost-Retr"}) {
    log.entries.clear();
    Arrive(RetryA(), label);
    EXPECT_EQ(log.entries, (LogLines{{"Invalid message received from retry queue",
                                      "Queue=A, Lable='" + label + "'"}}));
    EXPECT_TRUE(Waiting("kvr_mailer_rA").empty());
  }
  EXPECT_TRUE(mails.Sent().empty());
}

TEST_F(RetryTest, UnreadableCountMattersOnlyWhenTheRetryFails) {
  const std::vector<std::string> labels = {
      "Quillpost-Retry", "Quillpost-Retry:", "Quillpost-Retry:x", "Quillpost-Retry:40000"};
  for (const std::string& label : labels) {
    Arrive(RetryA(), label);
  }
  EXPECT_EQ(mails.Sent().size(), labels.size());
  EXPECT_TRUE(log.entries.empty());

  FailSends(40);
  for (const std::string& label : labels) {
    log.entries.clear();
    Arrive(RetryA(), label);
    ASSERT_EQ(log.entries.size(), 2U) << label;
    EXPECT_EQ(log.entries[1], (std::pair<std::string, std::string>{
                                  "Retry count unreadable; request moved to dead-letter queue",
                                  "Queue=kvr_mailer_rA, Lable='" + label + "'"}));
  }
  EXPECT_EQ(Waiting("kvr_mailer_dead").size(), labels.size());
  EXPECT_TRUE(Waiting("kvr_mailer_rB").empty());
}

TEST_F(RetryTest, LastTryOfAPermanentFailureDeadLettersForReInjection) {
  FailSends(200);
  Arrive(RetryA(), "Quillpost-Retry:1");
  ASSERT_EQ(Waiting("kvr_mailer_dead").size(), 1U);
  EXPECT_EQ(Waiting("kvr_mailer_dead").front().label, "Quillpost-Inbound");
  EXPECT_EQ(ValuesOf(Waiting("kvr_mailer_dead").front().body), ValuesOf(kRequest));
  EXPECT_EQ(log.entries.back(), (std::pair<std::string, std::string>{
                                    "Retry allowance used up; request moved to dead-letter queue",
                                    "Lable=Quillpost-Retry:1"}));
}

TEST_F(RetryTest, TicksPassTheTurnAndPointFailuresAtTheWaitingQueue) {
  status->retryswap_Timer();
  EXPECT_EQ(status->ActiveRetryQueue, "B");
  EXPECT_EQ(status->TargetRetryQueue, "A");
  status->retryswap_Timer();
  EXPECT_EQ(status->ActiveRetryQueue, "A");
  EXPECT_EQ(status->TargetRetryQueue, "B");
  status->ActiveRetryQueue = "x";
  status->retryswap_Timer();
  EXPECT_EQ(status->ActiveRetryQueue, "A");
  EXPECT_TRUE(log.entries.empty());
}

TEST_F(RetryTest, RequestGetsFourTriesOneTickApartThenIsDeadLettered) {
  FailSends(200);
  Arrive(Inbound(), "Quillpost-Inbound");
  std::vector<std::string> path;
  for (int tick = 0; tick < 4; ++tick) {
    status->retryswap_Timer();
    for (FakeQueue* retry : {&RetryA(), &RetryB()}) {
      auto& waiting = Waiting(retry->PathName());
      const std::string next = waiting.empty() ? "" : waiting.front().label;
      const std::size_t before = waiting.size();
      retry->DeliverNotification();
      if (waiting.size() < before) {
        path.push_back(retry->PathName() + " " + next);
      }
    }
  }
  EXPECT_EQ(path, (std::vector<std::string>{"kvr_mailer_rB Quillpost-Retry:3",
                                            "kvr_mailer_rA Quillpost-Retry:2",
                                            "kvr_mailer_rB Quillpost-Retry:1"}));
  EXPECT_EQ(mails.Sent().size(), 4U);
  EXPECT_EQ(Waiting("kvr_mailer_dead").size(), 1U);
  EXPECT_EQ(store.inHand, 0);
  EXPECT_EQ(notifier.notes.back(),
            "Status: Listening; 0 sent, 3 re-queued for retry, 1 dead-lettered");
}

TEST(RetryLabelTest, CountIsASixteenBitDecimalAfterTheSixteenthCharacter) {
  EXPECT_EQ(MakeRetryLabel(3), "Quillpost-Retry:3");
  EXPECT_EQ(ReadRetryCount("Quillpost-Retry:3"), 3);
  EXPECT_EQ(ReadRetryCount("Quillpost-Retry;-12"), -12);
  EXPECT_EQ(ReadRetryCount("Quillpost-Retry:32767"), 32767);
  EXPECT_EQ(ReadRetryCount("Quillpost-Retry:-32768"), -32768);
  for (const char* bad : {"Quillpost-Retry:32768", "Quillpost-Retry:-32769", "Quillpost-Retry: 3",
                          "Quillpost-Retry:3a", "Quillpost-Retry:+3", "Quillpost-Retry:"}) {
    EXPECT_EQ(ReadRetryCount(bad), std::nullopt) << bad;
  }
  EXPECT_TRUE(IsRetryLabel("Quillpost-Retry"));
  EXPECT_FALSE(IsRetryLabel("Quillpost-retry:3"));
}

}  // namespace
}  // namespace quillpost::relay::testing
