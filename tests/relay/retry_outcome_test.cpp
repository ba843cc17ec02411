// What a failed try leaves behind: when the request may be tried again, where
// it waits once its tries are used up, the mail log line of each try, the
// last failure it carries, the recipients still to reach and its identity.

#include <cstdio>

#include "document/request_rewrite.h"
#include "document/whole_message.h"
#include "relay/mail_log.h"
#include "relay/stdout_status_view.h"
#include "relay_test_support.h"

namespace quillpost::relay::testing {
namespace {

using std::chrono::seconds;
using std::chrono::system_clock;

// Notices to senders add mails and lines of their own: off but where they
// are the point.
inline Settings WithoutNotices() {
  Settings settings;
  settings.notifyFailure = false;
  return settings;
}

class RetryOutcomeTest : public ServiceTest {
 protected:
  void StartWith(Settings settings = WithoutNotices()) {
    Start(std::move(settings));
    log.entries.clear();
  }
  const queue::Message& OnlyOn(const std::string& name) {
    EXPECT_EQ(Waiting(name).size(), 1U) << name;
    return Waiting(name).front();
  }
  // A request that came into the store that long ago, with that many tries
  // behind it.
  void ArriveSeenAgo(FakeQueue& queue, std::string label, system_clock::duration age, int tries) {
    document::RequestChanges changes;
    changes.tries = tries;
    Arrive(queue, std::move(label),
           document::RewriteRequest(document::RequestReader(kRequest), changes),
           system_clock::now() - age);
  }

  std::vector<std::string> mailLog;
  maillog::ScopedSink mailSink{
      [this](int /*priority*/, std::string_view line) { mailLog.emplace_back(line); }};
};

TEST_F(RetryOutcomeTest, RetryIsNotDueBeforeOneIntervalAndCarriesItsLastFailure) {
  Settings settings;
  settings.retrySwapInterval = std::chrono::minutes(2);
  StartWith(settings);
  FailSends(450);
  const auto before = system_clock::now();
  Arrive(Inbound(), "Quillpost-Inbound");
  const queue::Message& retry = OnlyOn("kvr_mailer_rB");
  EXPECT_GE(retry.notBefore, before + std::chrono::minutes(2));
  EXPECT_LE(retry.notBefore, system_clock::now() + std::chrono::minutes(2));
  EXPECT_NE(retry.lastFailure.find("failure 450: 450 scripted reply"), std::string::npos)
      << retry.lastFailure;
}

TEST_F(RetryOutcomeTest, PassingFailureIsDeferredWithGrowingWaitsUntilTooOld) {
  StartWith();
  FailSends(10);
  // Queued for 3 minutes: the shortest wait, 5 minutes.
  ArriveSeenAgo(RetryA(), "Quillpost-Retry:1", std::chrono::minutes(3), 3);
  const queue::Message deferred = OnlyOn("kvr_mailer_rB");
  EXPECT_EQ(deferred.label, "Quillpost-Retry:0");
  const auto wait = deferred.notBefore - system_clock::now();
  EXPECT_GT(wait, std::chrono::minutes(4));
  EXPECT_LE(wait, std::chrono::minutes(5));
  EXPECT_EQ(log.entries.back(),
            (std::pair<std::string, std::string>{"Message submitted for retry to queue 'B'",
                                                 "Lable=Quillpost-Retry:0"}));
  Waiting("kvr_mailer_rB").clear();

  // Queued for 40 minutes: waits as long again; after 3 hours, at most an hour.
  ArriveSeenAgo(RetryA(), "Quillpost-Retry:0", std::chrono::minutes(40), 5);
  EXPECT_GT(OnlyOn("kvr_mailer_rB").notBefore - system_clock::now(), std::chrono::minutes(39));
  Waiting("kvr_mailer_rB").clear();
  ArriveSeenAgo(RetryA(), "Quillpost-Retry:0", std::chrono::hours(3), 8);
  EXPECT_LE(OnlyOn("kvr_mailer_rB").notBefore - system_clock::now(), std::chrono::hours(1));
  Waiting("kvr_mailer_rB").clear();

  // Past the lifetime it is given up, and says why.
  ArriveSeenAgo(RetryA(), "Quillpost-Retry:0", std::chrono::hours(24 * 5 + 1), 40);
  EXPECT_TRUE(Waiting("kvr_mailer_rB").empty());
  EXPECT_EQ(log.entries.back().first, "Request queued for too long; moved to dead-letter queue");
  EXPECT_NE(OnlyOn("kvr_mailer_dead").lastFailure.find("failure 10"), std::string::npos);
}

// What a mail program makes of a notice is checked end to end; here, when
// one goes out and what the relay writes of it.
TEST_F(RetryOutcomeTest, SenderHearsOnceOfAMailTooOldButNeverOfANoticeOrWhenTurnedOff) {
  StartWith(Settings{});
  FailSends(10);
  ArriveSeenAgo(RetryA(), "Quillpost-Retry:0", std::chrono::hours(24 * 5 + 1), 40);
  const queue::Message notice = OnlyOn("kvr_mailer");
  EXPECT_EQ(notice.label, "Quillpost-Inbound");
  const document::RequestReader request(notice.body);
  EXPECT_EQ(request.First(document::kFromTag), "");
  EXPECT_EQ(request.All(document::kToTag), std::vector<std::string>{"ann@example.org"});
  const std::string text = document::ReadWholeMessage(request).value_or("");
  for (const char* field : {"Final-Recipient: rfc822; bob@example.org\r\nAction: failed\r\n"
                            "Status: 4.4.7\r\n",
                            "Final-Recipient: rfc822; cy@example.org",
                            "Auto-Submitted: auto-replied", "Content-Type: text/rfc822-headers"}) {
    EXPECT_NE(text.find(field), std::string::npos) << field << " in\n" << text;
  }
  // The original's line names the notice, which has a line of its own.
  ASSERT_EQ(mailLog.size(), 2U);
  const std::string id = mailLog[0].substr(0, mailLog[0].find(':'));
  EXPECT_TRUE(mailLog[0].starts_with(id + ": from=<>, to=<ann@example.org>, ")) << mailLog[0];
  EXPECT_NE(mailLog[0].find("status=queued"), std::string::npos) << mailLog[0];
  EXPECT_TRUE(mailLog[1].ends_with(", notice=" + id)) << mailLog[1];

  // The notice given up on in turn causes none.
  Waiting("kvr_mailer").clear();
  FailSends(550);
  Arrive(RetryA(), "Quillpost-Retry:1", notice.body);
  EXPECT_EQ(Waiting("kvr_mailer_dead").size(), 2U);
  EXPECT_TRUE(Waiting("kvr_mailer").empty());

  StartWith(WithoutNotices());
  ArriveSeenAgo(RetryA(), "Quillpost-Retry:1", seconds(10), 3);
  EXPECT_EQ(Waiting("kvr_mailer_dead").size(), 3U);
  EXPECT_TRUE(Waiting("kvr_mailer").empty());
}

TEST_F(RetryOutcomeTest, SenderOfAMailStillDeferredIsToldOnceWhenDelayNoticesAreOn) {
  Settings settings;
  settings.notifyDelay = true;
  settings.delayWarningTime = std::chrono::hours(4);
  StartWith(settings);
  FailSends(450);
  ArriveSeenAgo(RetryA(), "Quillpost-Retry:3", std::chrono::hours(1), 1);
  EXPECT_TRUE(Waiting("kvr_mailer").empty());
  for (const auto age : {std::chrono::hours(5), std::chrono::hours(6)}) {
    const std::string body = OnlyOn("kvr_mailer_rB").body;
    Waiting("kvr_mailer_rB").clear();
    Arrive(RetryA(), "Quillpost-Retry:2", body, system_clock::now() - age);
  }
  const std::string text =
      document::ReadWholeMessage(document::RequestReader(OnlyOn("kvr_mailer").body)).value_or("");
  EXPECT_NE(text.find("Subject: Delayed Mail"), std::string::npos) << text;
  EXPECT_NE(text.find("Action: delayed\r\nStatus: 4.0.0\r\n"), std::string::npos) << text;
}

TEST_F(RetryOutcomeTest, LogLinesNameTheSmarthostThatAnswered) {
  StartWith();
  mails.serverUsed = "backup.example.org:2525";
  FailSends(200);
  ArriveSeenAgo(RetryA(), "Quillpost-Retry:1", seconds(30), 3);
  mails.serverUsed = "[::1]";  // no port of its own: the configured one
  SucceedSends();
  Arrive(Inbound(), "Quillpost-Inbound");
  ASSERT_EQ(mailLog.size(), 2U);
  EXPECT_NE(mailLog[0].find(", relay=backup.example.org:2525, "), std::string::npos) << mailLog[0];
  EXPECT_TRUE(
      log.entries[0].second.ends_with(", Relay=backup.example.org:2525, Reply=scripted failure"))
      << log.entries[0].second;
  EXPECT_NE(mailLog[1].find(", relay=[::1]:25, "), std::string::npos) << mailLog[1];
  EXPECT_NE(mailLog[1].find("(delivered to [::1]:25)"), std::string::npos) << mailLog[1];
}

TEST_F(RetryOutcomeTest, PermanentFailureIsDeadLetteredWhenTheTriesAreUsedUp) {
  StartWith();
  for (const int number : {550, 200, 101}) {
    FailSends(number);
    ArriveSeenAgo(RetryA(), "Quillpost-Retry:1", seconds(10), 3);
    EXPECT_EQ(log.entries.back().first,
              "Retry allowance used up; request moved to dead-letter queue");
    EXPECT_NE(OnlyOn("kvr_mailer_dead").lastFailure.find("failure " + std::to_string(number)),
              std::string::npos);
    Waiting("kvr_mailer_dead").clear();
  }
  EXPECT_TRUE(Waiting("kvr_mailer_rB").empty());
}

TEST_F(RetryOutcomeTest, EveryTryIsOneMailLogLineAndFailuresNameRequestRelayAndReply) {
  StartWith();
  SucceedSends();
  Arrive(Inbound(), "Quillpost-Inbound");
  FailSends(451);
  Arrive(Inbound(), "Quillpost-Inbound");
  FailSends(200);
  ArriveSeenAgo(RetryA(), "Quillpost-Retry:1", seconds(30), 3);
  ASSERT_EQ(mailLog.size(), 3U);
  const std::string route =
      "from=<ann@example.org>, to=<bob@example.org>, to=<cy@example.org>, "
      "relay=localhost:25, delay=";
  EXPECT_NE(mailLog[0].find(": " + route), std::string::npos) << mailLog[0];
  EXPECT_NE(mailLog[0].find(", tries=1, status=sent (delivered to localhost:25)"),
            std::string::npos)
      << mailLog[0];
  EXPECT_NE(mailLog[1].find(", tries=1, status=deferred (451 scripted reply; next try in 60 s)"),
            std::string::npos)
      << mailLog[1];
  EXPECT_NE(mailLog[2].find("delay=30, tries=4, status=bounced (scripted failure)"),
            std::string::npos)
      << mailLog[2];

  // The activity log keeps its texts; the data tells which request, where, why.
  const std::string id = mailLog[1].substr(0, 16);
  EXPECT_EQ(log.entries[0],
            (std::pair<std::string, std::string>{
                "Undetermined event attepting to send mail (data is err code)", "451"}));
  EXPECT_EQ(log.entries[1].second, "Lable=Quillpost-Retry:3");
  EXPECT_EQ(log.entries[2].first, "Recipient(s) addresses invalid");
  EXPECT_TRUE(log.entries[2].second.starts_with("Id="));
  EXPECT_TRUE(log.entries[2].second.ends_with(", Relay=localhost:25, Reply=scripted failure"));
}

TEST_F(RetryOutcomeTest, RefusedRecipientsAloneGoOnAndTheOthersAreNeverReachedTwice) {
  StartWith();
  mails.refuse["cy@example.org"] = 450;
  Arrive(Inbound(), "Quillpost-Inbound");
  const queue::Message& retry = OnlyOn("kvr_mailer_rB");
  const std::string expected = "<TO>cy@example.org</TO></Routing>";
  EXPECT_NE(retry.body.find("<Routing><FROM>ann@example.org</FROM><FROM-NAME>Ann Lee</FROM-NAME>" +
                            expected),
            std::string::npos)
      << retry.body;
  EXPECT_EQ(log.entries.front().first, "SMTP server has rejected the recipient(s)");
  EXPECT_NE(log.entries.front().second.find("cy@example.org: 450 try later"), std::string::npos);
  ASSERT_EQ(mailLog.size(), 2U);
  EXPECT_NE(mailLog[0].find("to=<bob@example.org>, relay"), std::string::npos) << mailLog[0];
  EXPECT_NE(mailLog[0].find("status=sent"), std::string::npos);
  EXPECT_NE(mailLog[1].find("to=<cy@example.org>, relay"), std::string::npos) << mailLog[1];
  EXPECT_NE(mailLog[1].find("status=deferred"), std::string::npos);

  mails.refuse.clear();
  status->retryswap_Timer();  // queue B gets the turn
  RetryB().DeliverNotification();
  ASSERT_EQ(mails.Sent().size(), 2U);
  EXPECT_EQ(std::count(mails.Sent()[1].calls.begin(), mails.Sent()[1].calls.end(),
                       "AddRecipient:bob@example.org"),
            0);
}

TEST_F(RetryOutcomeTest, EachRefusedRecipientKeepsItsOwnReplyInEitherOrder) {
  StartWith();
  for (const bool passingFirst : {true, false}) {
    mailLog.clear();
    mails.refuse["bob@example.org"] = passingFirst ? 450 : 550;
    mails.refuse["cy@example.org"] = passingFirst ? 550 : 450;
    const std::string forNow = passingFirst ? "bob@example.org" : "cy@example.org";
    const std::string forGood = passingFirst ? "cy@example.org" : "bob@example.org";
    Arrive(Inbound(), "Quillpost-Inbound");
    // Refused for good: given up at once, alone.
    EXPECT_EQ(ValuesOf(OnlyOn("kvr_mailer_dead").body)[2], std::vector<std::string>{forGood});
    ASSERT_EQ(mailLog.size(), 2U);
    EXPECT_NE(mailLog[0].find("to=<" + forGood + ">, relay"), std::string::npos) << mailLog[0];
    EXPECT_NE(mailLog[0].find("status=bounced"), std::string::npos) << mailLog[0];
    EXPECT_NE(mailLog[1].find("to=<" + forNow + ">, relay"), std::string::npos) << mailLog[1];
    EXPECT_NE(mailLog[1].find("status=deferred"), std::string::npos) << mailLog[1];
    // Refused for now: tried again, and deferred once its tries are used up.
    const std::string retry = OnlyOn("kvr_mailer_rB").body;
    EXPECT_EQ(ValuesOf(retry)[2], std::vector<std::string>{forNow});
    Waiting("kvr_mailer_rB").clear();
    Arrive(RetryA(), "Quillpost-Retry:1", retry);
    EXPECT_EQ(OnlyOn("kvr_mailer_rB").label, "Quillpost-Retry:0");
    EXPECT_EQ(OnlyOn("kvr_mailer_dead").body.find(forNow), std::string::npos);
    Waiting("kvr_mailer_rB").clear();
    Waiting("kvr_mailer_dead").clear();
  }
}

TEST_F(RetryOutcomeTest, IdentityComesFromTheQueueAndStaysTheSameAcrossTriesAndCrashes) {
  StartWith();
  FailSends(10);
  // A writer's own stamp, with another mail's id, a Message-ID of its choice
  // and a date of 1970, counts for nothing.
  std::string forged = kRequest;
  forged.insert(forged.rfind("</Quillpost-1.0>"),
                "<Relay><QUEUE-ID>0123456789ABCDEF</QUEUE-ID><MESSAGE-ID>&lt;x@y&gt;</MESSAGE-ID>"
                "<SUBMITTED>1</SUBMITTED></Relay>");
  const auto arrived = system_clock::now() - std::chrono::minutes(5);
  Arrive(Inbound(), "Quillpost-Inbound", forged, arrived);
  const std::string name = OnlyOn("kvr_mailer_rB").name;
  const std::string messageId = "<" + name + ".quillpost@example.org>";
  const std::string date = std::to_string(system_clock::to_time_t(arrived));
  EXPECT_EQ(ValuesOf(OnlyOn("kvr_mailer_rB").body), ValuesOf(kRequest));

  // A crash with the mail in hand gives it back to its queue untouched; the
  // next try, by whichever relay, still sends the same Message-ID and Date.
  status->retryswap_Timer();  // queue B gets the turn, failures go to A
  RetryB().Receive(std::chrono::milliseconds(0)).reset();
  RetryB().DeliverNotification();
  EXPECT_EQ(document::RequestReader(OnlyOn("kvr_mailer_rA").body).RelayTries(), 2);
  for (const auto& mail : mails.Sent()) {
    EXPECT_NE(std::find(mail.calls.begin(), mail.calls.end(), "SetMessageIdentity:" + messageId),
              mail.calls.end());
    EXPECT_NE(std::find(mail.calls.begin(), mail.calls.end(), "SetDate:" + date), mail.calls.end());
  }
  ASSERT_EQ(mailLog.size(), 2U);
  EXPECT_EQ(mailLog[0].substr(0, 17), name + ":");
  EXPECT_EQ(mailLog[1].substr(0, 17), name + ":");
}

TEST_F(RetryOutcomeTest, AnArrivalInTheFutureCountsAsNow) {
  StartWith();
  FailSends(451);
  const auto before = system_clock::now();
  Arrive(Inbound(), "Quillpost-Inbound", kRequest, before + std::chrono::hours(24 * 365));
  const auto& calls = mails.Sent()[0].calls;
  const auto date = std::find_if(calls.begin(), calls.end(), [](const std::string& call) {
    return call.starts_with("SetDate:");
  });
  ASSERT_NE(date, calls.end());
  EXPECT_LE(std::stoll(date->substr(8)), system_clock::to_time_t(system_clock::now()));
  EXPECT_NE(mailLog.at(0).find(" delay=0, "), std::string::npos) << mailLog[0];
}

TEST(HeadlessStatusLineTest, ControlCharactersAreEscapedAsInTheLog) {
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  StdoutStatusView view(out);
  view.AppendLine("BODY: line one\nSENT\nFROM: forged\x01");
  std::rewind(out);
  char text[128] = {};
  const std::size_t length = std::fread(text, 1, sizeof text - 1, out);
  std::fclose(out);
  EXPECT_EQ(std::string(text, length), "BODY: line one\\nSENT\\nFROM: forged\\x01\n");
}

}  // namespace
}  // namespace quillpost::relay::testing
