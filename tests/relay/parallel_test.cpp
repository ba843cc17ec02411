// Several SMTP sessions at once from one relay: through a slow server, a
// server that takes only a few sessions, a send-rate limit and a kill.

#include <csignal>
#include <thread>

#include "end_to_end_support.h"

namespace quillpost::relay::testing {
namespace {

std::string SubjectOf(int number) {
  return "Mail " + std::to_string(number);
}

// Each mail's status lines stand together, in their order.
void ExpectLinesTogether(const std::vector<std::string>& lines, std::size_t mails) {
  ASSERT_EQ(lines.size(), 6 * mails);
  for (std::size_t at = 0; at < lines.size(); at += 6) {
    const std::string subject = lines[at + 3].substr(std::string("SUBJ: ").size());
    EXPECT_EQ(lines[at], "FROM: ann@example.org") << at;
    EXPECT_EQ(lines[at + 2], "TO: bob@example.org") << at;
    EXPECT_EQ(lines[at + 4], "BODY: Hello from " + subject) << at;
    EXPECT_EQ(lines[at + 5], "SENT") << at;
  }
}

TEST_F(EndToEndTest, ManyMailsThroughASlowServerGoOutOnceEachOverSeveralSessions) {
  constexpr int kMails = 40;
  peer::SmtpPeerOptions slow;
  slow.delaySeconds = 0.05;
  peer::SmtpPeer smtp(slow);
  auto relay = StartRelay(smtp.Port());
  for (int i = 0; i < kMails; ++i) {
    ASSERT_EQ(Submit(SubjectOf(i)), "OK");
  }
  ASSERT_TRUE(WaitFor([&] { return smtp.Messages().size() >= kMails; }, 60s))
      << smtp.Messages().size() << relay->ErrorOutput();
  std::this_thread::sleep_for(Patience(200ms));
  const auto subjects = Subjects(smtp);
  EXPECT_EQ(subjects.size(), static_cast<std::size_t>(kMails));
  EXPECT_EQ(Duplicates(subjects), 0);
  EXPECT_GT(smtp.MostSessionsAtOnce(), 1);
  ASSERT_TRUE(WaitFor([&] { return relay->StatusLines().size() >= 6 * kMails; }));
  ExpectLinesTogether(relay->StatusLines(), kMails);
}

TEST_F(EndToEndTest, AServerThatTakesTwoSessionsGetsTwoAndNoMailIsChargedATry) {
  constexpr int kMails = 30;
  peer::SmtpPeerOptions strict;
  strict.delaySeconds = 0.02;
  strict.maxConnections = 2;
  peer::SmtpPeer smtp(strict);
  auto relay = StartRelay(smtp.Port());
  for (int i = 0; i < kMails; ++i) {
    ASSERT_EQ(Submit(SubjectOf(i)), "OK");
  }
  ASSERT_TRUE(WaitFor([&] { return Subjects(smtp).size() >= kMails; }, 60s))
      << Subjects(smtp).size() << relay->ErrorOutput();
  EXPECT_EQ(Duplicates(Subjects(smtp)), 0);
  EXPECT_LE(smtp.MostSessionsAtOnce(), 2);
  EXPECT_GE(smtp.RefusedAsTooMany(), 1);
  // The refusals lowered the ceiling, once per change, and charged nothing.
  EXPECT_GE(CountLog("SMTP server takes no more sessions; delivering over fewer"), 1U);
  EXPECT_EQ(CountLog("SMTP server is connected but won't listen"), 0U);
  EXPECT_TRUE(queue::PeekQueue("kvr_mailer_rA", false).empty());
  EXPECT_TRUE(queue::PeekQueue("kvr_mailer_rB", false).empty());
}

TEST_F(EndToEndTest, TheSendRateLimitHoldsAcrossSessions) {
  constexpr int kMails = 41;
  peer::SmtpPeer smtp;
  auto relay = StartRelay(smtp.Port(), {"--max-send-rate", "20/s"});
  for (int i = 0; i < kMails; ++i) {
    ASSERT_EQ(Submit(SubjectOf(i)), "OK");
  }
  ASSERT_TRUE(WaitFor([&] { return !smtp.Messages().empty(); }, 30s)) << relay->ErrorOutput();
  const auto first = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitFor([&] { return smtp.Messages().size() >= kMails; }, 30s));
  const auto took = std::chrono::duration<double>(std::chrono::steady_clock::now() - first);
  // 40 spaces of 50 ms after the first: 2 s, less what the first mail's
  // session set-up and the test's own polling may take off the start on a
  // busy machine (a limit of twice the rate would take 1 s), and not held
  // back far past it.
  EXPECT_GT(took.count(), 1.5);
  EXPECT_LT(took, Patience(3s));
}

TEST_F(EndToEndTest, AKillWithManyMailsInFlightLosesNone) {
  constexpr int kMails = 60;
  peer::SmtpPeerOptions slow;
  slow.delaySeconds = 0.2;
  peer::SmtpPeer first(slow);
  auto relay = StartRelay(first.Port());
  for (int i = 0; i < kMails; ++i) {
    ASSERT_EQ(Submit(SubjectOf(i)), "OK");
  }
  const auto inHand = [] {
    const auto waiting = queue::PeekQueue("kvr_mailer", false);
    return std::count_if(waiting.begin(), waiting.end(), [](const auto& m) { return m.inHand; });
  };
  // Sessions grow with the mails delivered; kill it with many under way.
  ASSERT_TRUE(WaitFor([&] { return first.Messages().size() >= 10 && inHand() >= 10; }, 30s))
      << relay->ErrorOutput();
  const auto inFlight = inHand();
  relay->Stop(SIGKILL);
  peer::SmtpPeer second;
  relay = StartRelay(second.Port(), {}, "restarted");
  std::map<std::string, int> subjects;
  ASSERT_TRUE(WaitFor(
      [&] {
        subjects = Subjects(first);
        for (const auto& [subject, count] : Subjects(second)) {
          subjects[subject] += count;
        }
        return subjects.size() == kMails;
      },
      30s))
      << subjects.size();
  // Only mails the server may have taken before the kill go out twice.
  EXPECT_LE(Duplicates(subjects), inFlight);
  std::printf("in flight at the kill: %ld, sent twice: %d\n", static_cast<long>(inFlight),
              Duplicates(subjects));
}

}  // namespace
}  // namespace quillpost::relay::testing
