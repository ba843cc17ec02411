#include <csignal>
#include <fstream>

#include "document/request_reader.h"
#include "end_to_end_support.h"

namespace quillpost::relay::testing {
namespace {

using LogLines = std::vector<std::pair<std::string, std::string>>;

TEST_F(EndToEndTest, RequestIsRelayedWithItsStatusLinesAndOnlyStartAndStopAreLogged) {
  peer::SmtpPeer smtp;
  auto relay = StartRelay(smtp.Port());
  ASSERT_EQ(Submit("First"), "OK");
  ASSERT_TRUE(WaitFor([&] { return smtp.Messages().size() == 1; })) << relay->ErrorOutput();

  const auto message = smtp.Messages()[0];
  EXPECT_EQ(message.envelopeFrom, "ann@example.org");
  EXPECT_EQ(message.envelopeTo, std::vector<std::string>{"bob@example.org"});
  EXPECT_NE(message.raw.find("KVR Quillpost v1.0"), std::string::npos);
  ASSERT_TRUE(WaitFor([&] { return relay->StatusLines().size() >= 6; }));
  EXPECT_EQ(
      relay->StatusLines(),
      (std::vector<std::string>{"FROM: ann@example.org", "NAME: Ann Lee", "TO: bob@example.org",
                                "SUBJ: First", "BODY: Hello from First", "SENT"}));

  // The server has it, and the relay takes it off its queue once its session
  // is back.
  EXPECT_TRUE(WaitFor([] { return queue::PeekQueue("kvr_mailer", false).empty(); }));
  const int status = relay->Stop(SIGTERM);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(ReadLog(logFile), (LogLines{{kStarted, ""}, {kTerminated, ""}}));
}

TEST_F(EndToEndTest, EverySignalThatEndsTheServiceLogsItsEnd) {
  const int port = FreePort();
  for (const int signal : {SIGINT, SIGHUP, SIGTERM}) {
    auto relay = StartRelay(port);
    const int status = relay->Stop(signal);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << signal;
  }
  EXPECT_EQ(CountLog(kStarted), 3U);
  EXPECT_EQ(CountLog(kTerminated), 3U);
}

TEST_F(EndToEndTest, EachSendFailureIsLoggedByItsNumber) {
  struct Case {
    std::string name;
    peer::SmtpPeerOptions options;
    std::string message;
    std::string data;
    std::string attachment;
  };
  peer::SmtpPeerOptions greeting, sender, recipient, data, content, receiving;
  greeting.refuse["greeting"] = 554;
  sender.refuse["mail"] = 550;
  recipient.refuseRecipient["bob@example.org"] = 550;
  data.refuse["data"] = 554;
  content.refuse["content"] = 554;
  receiving.stall = "receiving";
  const std::vector<Case> cases = {
      {"greeting", greeting, "SMTP server is connected but won't listen", "", ""},
      {"sender", sender, "SMTP server has rejected the senders addresses", "", ""},
      {"recipient", recipient, "SMTP server has rejected the recipient(s)", "", ""},
      {"data", data, "SMTP server is not ready to recieve your message", "", ""},
      {"content", content, "Undetermined event attepting to send mail (data is err code)", "554",
       ""},
      {"receiving", receiving, "STMP server timed out whilst recieving your message", "", ""},
      {"attachment",
       {},
       "Unable to locate/access specified attachment(s)",
       "",
       "/nonexistent/report.pdf"},
  };
  std::size_t dead = 0;
  for (const Case& c : cases) {
    peer::SmtpPeer smtp(c.options);
    // One try only: the request goes straight to the dead-letter queue, and
    // no notice follows it there.
    auto relay = StartRelay(smtp.Port(),
                            {"--retry-allowance", "1", "--smtp-reply-timeout", "1",
                             "--max-queue-lifetime", "0.01", "--notify", "never"},
                            c.name);
    ASSERT_EQ(Submit(c.name, c.attachment), "OK");
    EXPECT_TRUE(WaitFor([&] {
      return c.data.empty() ? LogHasFailure(logFile, c.message)
                            : LogHas(logFile, c.message, c.data);
    })) << c.name
        << "\n"
        << relay->ErrorOutput();
    // The line is written before the request is moved: stopping in between
    // would leave it, rightly, on its queue.
    ++dead;
    EXPECT_TRUE(WaitFor([&] { return queue::PeekQueue("kvr_mailer_dead", false).size() == dead; }))
        << c.name;
    relay->Stop();
  }
  // And with no server at all. A refused connection is a passing failure, so
  // the request is dead-lettered only once it is older than its lifetime:
  // submitted before the relay starts and left to age past it.
  ASSERT_EQ(Submit("no server"), "OK");
  std::this_thread::sleep_for(50ms);
  auto relay = StartRelay(
      FreePort(), {"--retry-allowance", "1", "--max-queue-lifetime", "0.01", "--notify", "never"},
      "no-server");
  EXPECT_TRUE(WaitFor(
      [&] { return LogHasFailure(logFile, "Unable to connect to specified SMTP server"); }));
  EXPECT_TRUE(WaitFor(
      [&] { return queue::PeekQueue("kvr_mailer_dead", false).size() == cases.size() + 1; }));
  relay->Stop();
}

TEST_F(EndToEndTest, SessionProblemAfterAcceptanceIsLoggedAndNotSentTwice) {
  peer::SmtpPeerOptions options;
  options.refuse["quit"] = 500;
  peer::SmtpPeer smtp(options);
  // One session per mail, so that it ends inside the send.
  auto relay = StartRelay(smtp.Port(), {"--smtp-idle-timeout", "0"});
  ASSERT_EQ(Submit("Stalled quit"), "OK");
  ASSERT_TRUE(WaitFor([&] { return LogHas(logFile, "Unable to terminate session *nicely*", ""); }))
      << relay->ErrorOutput();
  relay->Stop();
  EXPECT_EQ(smtp.Messages().size(), 1U);
  EXPECT_TRUE(queue::PeekQueue("kvr_mailer_rB", false).empty());
  EXPECT_EQ(CountLog("Message submitted for retry to queue 'B'"), 0U);
}

TEST_F(EndToEndTest, SessionKeptForTheNextMailEndsOnceTheQueuesAreQuiet) {
  peer::SmtpPeer smtp;
  auto relay = StartRelay(smtp.Port(), {"--smtp-idle-timeout", "1"});
  // One after the other: the second mail goes out over the session the first
  // left open (mails at the same time would each get a session).
  ASSERT_EQ(Submit("One"), "OK");
  ASSERT_TRUE(WaitFor([&] { return smtp.Messages().size() == 1; }));
  ASSERT_EQ(Submit("Two"), "OK");
  ASSERT_TRUE(WaitFor([&] { return smtp.Messages().size() == 2; }));
  EXPECT_EQ(smtp.Connections(), 1);
  EXPECT_TRUE(smtp.WaitForClosedConnections(1, Patience(5s)));
  const auto commands = smtp.Commands();
  EXPECT_NE(std::find(commands.begin(), commands.end(), "1 QUIT"), commands.end());
  EXPECT_TRUE(relay->Running());
}

TEST_F(EndToEndTest, RefusedRecipientsAreJudgedOneByOneAndThoseRefusedForGoodGoAtOnce) {
  // Every recipient refused, the passing refusal first: the last reply no
  // longer decides for both.
  peer::SmtpPeerOptions refusing;
  refusing.refuseRecipient["temp@example.org"] = 450;
  refusing.refuseRecipient["bob@example.org"] = 550;
  auto smtp = std::make_unique<peer::SmtpPeer>(refusing);
  auto relay = StartRelay(smtp->Port(), {"--retry-interval", "0.3"});
  Put("kvr_mailer", "Quillpost-Inbound",
      "<Quillpost-1.0><Routing><FROM>ann@example.org</FROM><FROM-NAME>Ann</FROM-NAME>"
      "<TO>temp@example.org</TO><TO>bob@example.org</TO></Routing><Message>"
      "<SUBJECT>Refused</SUBJECT><BODY>b</BODY></Message><Attachments/></Quillpost-1.0>");
  const std::string givenUp = "Recipient(s) refused for good; moved to dead-letter queue";
  ASSERT_TRUE(WaitFor([&] { return CountLog(givenUp) == 1; })) << relay->ErrorOutput();
  const auto dead = queue::PeekQueue("kvr_mailer_dead", true);
  ASSERT_EQ(dead.size(), 1U);
  EXPECT_EQ(document::RequestReader(dead[0].body).All(document::kToTag),
            std::vector<std::string>{"bob@example.org"});

  // The passing one is tried at each tick and then deferred, never dead-lettered.
  const auto deferred = [] {
    for (const char* queue : {"kvr_mailer_rA", "kvr_mailer_rB"}) {
      for (const auto& message : queue::PeekQueue(queue, true)) {
        if (message.label == "Quillpost-Retry:0") {
          return document::RequestReader(message.body).All(document::kToTag);
        }
      }
    }
    return std::vector<std::string>{};
  };
  ASSERT_TRUE(WaitFor([&] { return !deferred().empty(); })) << relay->ErrorOutput();
  EXPECT_EQ(deferred(), std::vector<std::string>{"temp@example.org"});
  EXPECT_EQ(CountLog(givenUp), 1U);
  EXPECT_EQ(queue::PeekQueue("kvr_mailer_dead", false).size(), 1U);
  relay->Stop();

  // Once the server takes the mail, moving it back to the inbound queue is all it needs.
  smtp = std::make_unique<peer::SmtpPeer>();
  relay = StartRelay(smtp->Port());
  EXPECT_EQ(RunProgram({QUILLPOST_QUEUE_PROGRAM, "move", "kvr_mailer_dead", "kvr_mailer"}, nullptr,
                       {{"QUILLPOST_STORE", store.string()}}),
            0);
  ASSERT_TRUE(WaitFor([&] { return Subjects(*smtp)["Refused"] == 1; }));
  EXPECT_EQ(smtp->Messages()[0].envelopeTo, std::vector<std::string>{"bob@example.org"});
}

TEST_F(EndToEndTest, SenderGetsOneNoticeNamingTheRecipientRefusedForGood) {
  peer::SmtpPeerOptions refusing;
  refusing.refuseRecipient["bob@example.org"] = 550;
  peer::SmtpPeer smtp(refusing);
  auto relay = StartRelay(smtp.Port(), {"--smtp-ehlo-name", "relay.example.org"});
  Put("kvr_mailer", "Quillpost-Inbound",
      "<Quillpost-1.0><Routing><FROM>ann@example.org</FROM><FROM-NAME>Ann</FROM-NAME>"
      "<TO>cy@example.org</TO><TO>bob@example.org</TO></Routing><Message>"
      "<SUBJECT>Report</SUBJECT><BODY>b</BODY></Message><Attachments/></Quillpost-1.0>");
  ASSERT_TRUE(WaitFor([&] { return smtp.Messages().size() == 2; })) << relay->ErrorOutput();
  const peer::DeliveredMessage notice = smtp.Messages()[1];
  EXPECT_EQ(notice.envelopeFrom, "<>");  // the null sender, as the peer shows it
  EXPECT_EQ(notice.envelopeTo, std::vector<std::string>{"ann@example.org"});
  EXPECT_EQ(notice.Header("From"),
            std::vector<std::string>{"Mail Delivery System <MAILER-DAEMON@relay.example.org>"});
  EXPECT_EQ(notice.Header("Auto-Submitted"), std::vector<std::string>{"auto-replied"});

  // As a mail program reads it.
  const auto received = smtp.Folder() / "notice.eml";
  std::ofstream(received, std::ios::binary) << notice.raw;
  const std::string check = R"(
import email, sys
report = email.message_from_binary_file(open(sys.argv[1], 'rb'))
assert report.get_content_type() == 'multipart/report', report.get_content_type()
assert report.get_param('report-type') == 'delivery-status'
text, status, original = report.get_payload()
assert status.get_content_type() == 'message/delivery-status'
about_message, *recipients = status.get_payload()
print(about_message['Reporting-MTA'])
for recipient in recipients:
    print(recipient['Final-Recipient'], recipient['Action'], recipient['Status'],
          recipient['Remote-MTA'], recipient['Diagnostic-Code'], sep=' | ')
print(original.get_content_type(), original.get_payload().splitlines()[0].split(':')[0])
)";
  std::string output;
  ASSERT_EQ(RunProgram({"/usr/bin/env", "python3", "-c", check, received.string()}, &output), 0)
      << output;
  EXPECT_EQ(output,
            "dns; relay.example.org\n"
            "rfc822; bob@example.org | failed | 5.0.0 | dns; 127.0.0.1 | "
            "smtp; 550 bob@example.org refused by the test peer\n"
            "text/rfc822-headers Date\n");
}

TEST_F(EndToEndTest, InboundQueueCreatedAgainIsOpenedAgainAtTheNextTick) {
  peer::SmtpPeer smtp;
  auto relay = StartRelay(smtp.Port(), {"--retry-interval", "0.3"});
  ASSERT_EQ(Submit("Before"), "OK");
  ASSERT_TRUE(WaitFor([&] { return smtp.Messages().size() == 1; })) << relay->ErrorOutput();
  queue::QueuePath("kvr_mailer").Delete();
  queue::QueuePath("kvr_mailer").Create();
  ASSERT_EQ(Submit("After"), "OK");
  EXPECT_TRUE(WaitFor([&] { return Subjects(smtp)["After"] == 1; })) << relay->ErrorOutput();
  EXPECT_TRUE(
      LogHas(logFile, "Queue was deleted or re-created; opening it again", "Queue=kvr_mailer"));
  EXPECT_TRUE(relay->Running());
}

TEST_F(EndToEndTest, ServerThatComesBackGetsTheMailFromARetry) {
  const int port = FreePort();
  // Enough tries, far enough apart, to outlast the server's start.
  auto relay = StartRelay(port, {"--retry-interval", "0.5", "--retry-allowance", "100"});
  ASSERT_EQ(Submit("Comeback"), "OK");
  ASSERT_TRUE(WaitFor([&] {
    return LogHas(logFile, "Message submitted for retry to queue 'B'",
                  "Lable=Quillpost-Retry:99") ||
           LogHas(logFile, "Message submitted for retry to queue 'A'", "Lable=Quillpost-Retry:99");
  }));
  EXPECT_TRUE(LogHasFailure(logFile, "Unable to connect to specified SMTP server"));

  // The server comes up on the port the relay was told about.
  const auto folder = scratch.Path() / "peer";
  std::filesystem::create_directories(folder);
  ChildProcess smtp({"/usr/bin/python3", QUILLPOST_SMTP_PEER_SCRIPT, "--dir", folder.string(),
                     "--port", std::to_string(port)},
                    {}, scratch.Path() / "peer.out", scratch.Path() / "peer.err");
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(folder / "0001.eml"); }))
      << ReadFile(scratch.Path() / "peer.err");
  relay->Stop();
  EXPECT_EQ(CountLog("Retry allowance used up; request moved to dead-letter queue"), 0U);
  EXPECT_TRUE(queue::PeekQueue("kvr_mailer_dead", false).empty());
}

TEST_F(EndToEndTest, BadLabelsAndUnreadableRequestsNeverStopTheService) {
  peer::SmtpPeer smtp;
  auto relay = StartRelay(smtp.Port());
  const std::string noSubject =
      "<Quillpost-1.0><Routing><FROM>a@example.org</FROM><FROM-NAME>A</FROM-NAME>"
      "<TO>b@example.org</TO></Routing><Message><BODY>x</BODY></Message></Quillpost-1.0>";
  Put("kvr_mailer", "quillpost-inbound", "<x/>");
  Put("kvr_mailer_rA", "Quillpost-Inbound", "<x/>");
  Put("kvr_mailer", "Quillpost-Inbound", "not a request <");
  Put("kvr_mailer", "Quillpost-Inbound", noSubject);
  ASSERT_EQ(Submit("Still alive"), "OK");
  ASSERT_TRUE(WaitFor([&] { return Subjects(smtp)["Still alive"] == 1; })) << relay->ErrorOutput();
  ASSERT_TRUE(WaitFor([&] { return queue::PeekQueue("kvr_mailer_dead", true).size() == 2; }));

  EXPECT_TRUE(LogHas(logFile, "Invalid message recieved (data is label)", "quillpost-inbound"));
  EXPECT_TRUE(LogHas(logFile, "Invalid message received from retry queue",
                     "Queue=A, Lable='Quillpost-Inbound'"));
  EXPECT_EQ(CountLog("Request cannot be dispatched; moved to dead-letter queue"), 2U);
  std::vector<std::string> bodies;
  for (const auto& dead : queue::PeekQueue("kvr_mailer_dead", true)) {
    EXPECT_EQ(dead.label, "Quillpost-Inbound");
    bodies.push_back(dead.body);
  }
  EXPECT_EQ(bodies, (std::vector<std::string>{"not a request <", noSubject}));
  EXPECT_TRUE(relay->Running());
}

TEST_F(EndToEndTest, StartUpThatFailsSaysSoAndTheServiceStillEndsCleanly) {
  // A store below a regular file cannot be created, whoever runs the test.
  std::ofstream(scratch.Path() / "plain-file") << "x";
  RelayProcess relay(scratch.Path(), scratch.Path() / "plain-file" / "store", logFile,
                     {"--smtp-port", std::to_string(FreePort())});
  ASSERT_TRUE(WaitFor([&] {
    return relay.ErrorOutput().find("start-up stopped at step 4") != std::string::npos;
  })) << relay.ErrorOutput();
  EXPECT_TRUE(relay.Running());
  EXPECT_EQ(CountLog(kStarted), 0U);
  const int status = relay.Stop(SIGTERM);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(ReadLog(logFile), (LogLines{{kTerminated, ""}}));
}

TEST(RelayCommandLineTest, HelpAndBadValues) {
  std::string output;
  EXPECT_EQ(RunProgram({QUILLPOST_SMTP_PROGRAM, "--help"}, &output), 0);
  EXPECT_NE(output.find("--smtp-password-file FILE"), std::string::npos);
  for (const std::vector<std::string>& bad : {std::vector<std::string>{"--smtp-port", "0"},
                                              {"--smtp-security", "ssl"},
                                              {"--smtp-password", "secret"},
                                              {"--smtp-password=secret"},
                                              {"--retry-allowance", "zero"}}) {
    std::vector<std::string> arguments = {QUILLPOST_SMTP_PROGRAM};
    arguments.insert(arguments.end(), bad.begin(), bad.end());
    EXPECT_EQ(RunProgram(arguments, &output), 2) << bad[0];
    EXPECT_NE(output.find("quillpost-smtp: "), std::string::npos) << output;
    EXPECT_EQ(output.find("secret"), std::string::npos) << output;
  }
}

}  // namespace
}  // namespace quillpost::relay::testing
