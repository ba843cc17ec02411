// Several relays on one store, and a relay killed in the middle of its work:
// every request is delivered, none is lost.

#include <csignal>
#include <thread>

#include "end_to_end_support.h"

namespace quillpost::relay::testing {
namespace {

std::string SubjectOf(int number) {
  return "Mail " + std::to_string(number);
}

TEST_F(EndToEndTest, TwoRelaysOnOneStoreDeliverEveryMailOnce) {
  constexpr int kMails = 100;
  peer::SmtpPeer smtp;
  auto first = StartRelay(smtp.Port(), {}, "first");
  auto second = StartRelay(smtp.Port(), {}, "second");
  for (int i = 0; i < kMails; ++i) {
    ASSERT_EQ(Submit(SubjectOf(i)), "OK");
  }
  ASSERT_TRUE(WaitFor([&] { return smtp.Messages().size() >= kMails; }, 30s))
      << smtp.Messages().size();
  // Give a stray second delivery the chance to show up.
  std::this_thread::sleep_for(Patience(200ms));
  const auto subjects = Subjects(smtp);
  EXPECT_EQ(subjects.size(), static_cast<std::size_t>(kMails));
  EXPECT_EQ(Duplicates(subjects), 0);
  EXPECT_TRUE(WaitFor([] { return queue::PeekQueue("kvr_mailer", false).empty(); }));
  EXPECT_EQ(CountLog("Unable to receive from queue"), 0U);
}

TEST_F(EndToEndTest, KilledRelayLosesNothingOnceRestarted) {
  constexpr int kMails = 200;
  peer::SmtpPeer smtp;
  // One mail at a time, so that one mail at most is in hand at the kill.
  const std::vector<std::string> oneAtATime = {"--max-parallel-deliveries", "1"};
  auto relay = StartRelay(smtp.Port(), oneAtATime);
  std::thread submitter([this] {
    for (int i = 0; i < kMails; ++i) {
      EXPECT_EQ(Submit(SubjectOf(i)), "OK");
    }
  });
  ASSERT_TRUE(WaitFor([&] { return smtp.Messages().size() >= 50; }, 30s));
  relay->Stop(SIGKILL);
  const std::size_t beforeRestart = smtp.Messages().size();
  relay = StartRelay(smtp.Port(), oneAtATime, "restarted");
  submitter.join();

  ASSERT_TRUE(WaitFor([&] { return Subjects(smtp).size() == kMails; }, 30s))
      << Subjects(smtp).size();
  std::this_thread::sleep_for(Patience(200ms));
  const auto subjects = Subjects(smtp);
  const int duplicates = Duplicates(subjects);
  // Only the mail in hand at the kill can go out twice: the server had it
  // before the relay could take it off its queue.
  EXPECT_LE(duplicates, 1);
  RecordProperty("delivered_before_kill", static_cast<int>(beforeRestart));
  RecordProperty("duplicates", duplicates);
  std::printf("delivered before the kill: %zu, duplicates after restart: %d\n", beforeRestart,
              duplicates);
  EXPECT_TRUE(queue::PeekQueue("kvr_mailer", false).empty());
}

}  // namespace
}  // namespace quillpost::relay::testing
