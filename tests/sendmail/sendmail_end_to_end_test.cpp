// Real mail programs hand their messages to quillpost-sendmail; the real relay
// sends them to the SMTP test peer, which must receive them as they were given.

#include <sysexits.h>

#include <filesystem>
#include <fstream>

#include "end_to_end_support.h"
#include "run_program.h"

namespace quillpost::relay::testing {
namespace {

using quillpost::testing::ProgramResult;

// What the peer receives for a message given with LF line endings.
std::string WithCrLf(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') {
      out += '\r';
    }
    out += c;
  }
  return out;
}

class SendmailTest : public EndToEndTest {
 protected:
  ProgramResult Sendmail(const std::vector<std::string>& arguments, const std::string& input) {
    return quillpost::testing::RunProgram(tool, arguments, scratch.Path(), &input);
  }

  // Runs a shell command line in the scratch folder, with standard input empty.
  ProgramResult Shell(const std::string& command) {
    return quillpost::testing::RunProgram(
        "/bin/sh", {"-c", "cd '" + scratch.Path().string() + "' && " + command}, scratch.Path());
  }

  // Waits for count mails on the peer.
  std::vector<peer::DeliveredMessage> Receive(std::size_t count) {
    EXPECT_TRUE(WaitFor([&] { return smtp.Messages().size() >= count; })) << relay->ErrorOutput();
    return smtp.Messages();
  }

  const std::string tool = QUILLPOST_SENDMAIL_PROGRAM;
  peer::SmtpPeer smtp;
  std::unique_ptr<RelayProcess> relay;
};

TEST_F(SendmailTest, CronStyleMessageTravelsWholeToItsHeaderRecipientsWithoutBcc) {
  relay = StartRelay(smtp.Port());
  const std::string head =
      "From: Cron Daemon <root@host.example>\n"
      "To: ops@example.org\n"
      "Cc: Dev Team <dev@example.org>\n";
  const std::string tail =
      "Subject: Cron <root@host> run-parts /etc/cron.daily\n"
      "MIME-Version: 1.0\n"
      "Content-Type: text/plain; charset=UTF-8\n"
      "X-Cron-Env: <SHELL=/bin/sh>\n"
      "\n"
      "line one\n"
      ".\n"
      "..two dots\n"
      "Bcc: stays in the body\n";
  const std::string message = head + "Bcc: audit@example.org,\n archive@example.org\n" + tail;
  const ProgramResult result = Sendmail({"-i", "-t"}, message);
  ASSERT_EQ(result.exitStatus, EX_OK) << result.err;

  const auto received = Receive(1);
  ASSERT_EQ(received.size(), 1U);
  const peer::DeliveredMessage& mail = received[0];
  EXPECT_EQ(mail.envelopeFrom, "root@host.example");
  EXPECT_EQ(mail.envelopeTo,
            (std::vector<std::string>{"ops@example.org", "dev@example.org", "audit@example.org",
                                      "archive@example.org"}));
  // Date and Message-ID go in front; every other byte is the message as given
  // without its Bcc field.
  ASSERT_EQ(mail.Header("Date").size(), 1U);
  ASSERT_EQ(mail.Header("Message-ID").size(), 1U);
  EXPECT_EQ(mail.raw.substr(mail.raw.find("From: Cron")), WithCrLf(head + tail));
  EXPECT_EQ(mail.raw.find("audit@"), std::string::npos);

  // The status lines show the subject and the text part as it was taken
  // (CR LF lines), its line breaks escaped.
  const auto lines = [&] { return relay->StatusLines(); };
  ASSERT_TRUE(WaitFor([&] { return lines().size() >= 9 && lines().back() == "SENT"; }));
  EXPECT_EQ(lines()[6], "SUBJ: Cron <root@host> run-parts /etc/cron.daily");
  EXPECT_TRUE(lines()[7].starts_with("BODY: line one\\r\\n.\\r\\n..two dots\\r\\n")) << lines()[7];
  // -bp is quillpost-queue mailq: the mail has gone.
  const std::string queueFolder =
      std::filesystem::path(QUILLPOST_QUEUE_PROGRAM).parent_path().string();
  const ProgramResult listing = Shell("PATH='" + queueFolder + "':$PATH '" + tool + "' -bp");
  EXPECT_EQ(listing.exitStatus, EX_OK) << listing.err;
  EXPECT_EQ(listing.out, "Mail queue is empty\n") << listing.err;
}

TEST_F(SendmailTest, GitSendEmailPatchesArriveByteForByteWithTheirThread) {
  relay = StartRelay(smtp.Port());
  const std::string git =
      "git -c user.name='Ann Lee' -c user.email=ann@example.org -c init.defaultBranch=main ";
  const ProgramResult made =
      Shell(git + "init -q repo && cd repo && printf 'one\\n' > file && git add file && " + git +
            "commit -q -m 'Add file' && printf 'one\\ntwo\\n' > file && " + git +
            "commit -q -am 'Add a second line' && printf '.\\none\\ntwo\\n' > file && " + git +
            "commit -q -am 'Start with a dot' -m . -m '.profile too' && " + git +
            "send-email --quiet --confirm=never --suppress-cc=all --thread --no-chain-reply-to "
            "--from='Ann Lee <ann@example.org>' --to=list@example.org --cc=rev@example.org "
            "--bcc=boss@example.org --sendmail-cmd=\"tee -a ../sent.mbox | '" +
            tool + "'\" -2");
  ASSERT_EQ(made.exitStatus, 0) << made.out << made.err;

  const auto received = Receive(2);
  ASSERT_EQ(received.size(), 2U);
  std::string all;
  for (const peer::DeliveredMessage& mail : received) {
    EXPECT_EQ(mail.envelopeFrom, "ann@example.org");
    EXPECT_EQ(mail.envelopeTo, (std::vector<std::string>{"list@example.org", "rev@example.org",
                                                         "boss@example.org"}));
    EXPECT_TRUE(mail.Header("Bcc").empty());
    all += mail.raw;
  }
  // git writes Date and Message-ID itself, so nothing is added.
  EXPECT_EQ(all, WithCrLf(ReadFile(scratch.Path() / "sent.mbox")));
  ASSERT_EQ(received[0].Header("Message-ID").size(), 1U);
  EXPECT_EQ(received[1].Header("In-Reply-To"), received[0].Header("Message-ID"));
  EXPECT_EQ(received[1].Header("References"), received[0].Header("Message-ID"));
  EXPECT_NE(received[1].raw.find("\r\n.\r\n\r\n.profile too\r\n"), std::string::npos);
}

TEST_F(SendmailTest, MailxMessageGetsItsSenderFromTheLocalUser) {
  relay = StartRelay(smtp.Port());
  std::ofstream(scratch.Path() / "mailrc") << "set sendmail=" << tool << "\n";
  const ProgramResult sent = Shell(
      "printf 'Disk sda is failing.\\n' | HOME=. MAILRC=mailrc mail -s 'SMART error (sda)' "
      "-c cc@example.org admin@example.org");
  ASSERT_EQ(sent.exitStatus, 0) << sent.out << sent.err;

  const auto received = Receive(1);
  ASSERT_EQ(received.size(), 1U);
  const peer::DeliveredMessage& mail = received[0];
  EXPECT_EQ(mail.envelopeTo, (std::vector<std::string>{"admin@example.org", "cc@example.org"}));
  EXPECT_EQ(mail.Header("Subject"), std::vector<std::string>{"SMART error (sda)"});
  EXPECT_EQ(mail.Header("To"), std::vector<std::string>{"admin@example.org"});
  EXPECT_EQ(mail.Header("Cc"), std::vector<std::string>{"cc@example.org"});
  EXPECT_EQ(mail.Header("From"), std::vector<std::string>{mail.envelopeFrom});
  EXPECT_EQ(mail.body, "Disk sda is failing.\n");
  EXPECT_EQ(mail.Header("Date").size(), 1U);
}

// -bp runs the quillpost-queue beside the program, as both lie in the build's
// bin/ folder and once installed; a sendmail with none beside it takes PATH's.
TEST_F(SendmailTest, MailqFindsTheQueueToolBesideItElseOnPath) {
  queue::QueuePath("kvr_mailer").Create();
  ASSERT_EQ(Sendmail({"bob@example.org"}, "Subject: waits\n\nbody\n").exitStatus, EX_OK);
  const std::string queueFolder =
      std::filesystem::path(QUILLPOST_QUEUE_PROGRAM).parent_path().string();
  for (const std::string& command :
       {"PATH=/usr/bin:/bin '" + tool + "' -bp",
        "mkdir alone && cp '" + tool + "' alone/ && PATH='" + queueFolder +
            "':/usr/bin:/bin alone/quillpost-sendmail -bp"}) {
    const ProgramResult listing = Shell(command);
    EXPECT_EQ(listing.exitStatus, EX_OK) << command << "\n" << listing.err;
    EXPECT_NE(listing.out.find("bob@example.org"), std::string::npos) << listing.out;
    EXPECT_NE(listing.out.find("in 1 Request."), std::string::npos) << listing.out;
  }
}

// A message as large as the big providers take is read from the store as it
// is sent, and a try that failed puts it back on a retry queue intact.
TEST_F(SendmailTest, MessageOf25MiBArrivesByteForByteAfterARetry) {
  std::string message =
      "From: Ann <ann@example.org>\r\nTo: bob@example.org\r\nSubject: large\r\n"
      "Date: Tue, 8 Dec 2026 09:00:00 +0000\r\nMessage-ID: <large@example.org>\r\n\r\n";
  for (std::size_t line = 0; message.size() < quillpost::kDefaultMaxMessageSize - 100; ++line) {
    message += (line % 1000 == 0 ? "." : "") + std::to_string(line * 7919) +
               std::string(line % 77, static_cast<char>('A' + line % 26)) + "\xc3\xa9\r\n";
  }
  // No server there at first; tries far enough apart to outlast the relay's restart.
  relay = StartRelay(peer::FreePort(), {"--retry-interval", "0.5", "--retry-allowance", "100"});
  const ProgramResult result = Sendmail({"-i", "bob@example.org"}, message);
  ASSERT_EQ(result.exitStatus, EX_OK) << result.err;
  ASSERT_TRUE(WaitFor([&] {
    return CountLog("Message submitted for retry to queue 'A'") +
               CountLog("Message submitted for retry to queue 'B'") >
           0;
  })) << relay->ErrorOutput();
  relay->Stop();

  relay = StartRelay(smtp.Port(), {"--retry-interval", "0.5", "--retry-allowance", "100"});
  ASSERT_TRUE(WaitFor([&] { return !smtp.Messages().empty(); }, std::chrono::seconds(60)))
      << relay->ErrorOutput();
  const auto received = smtp.Messages();
  EXPECT_TRUE(received[0].raw == message) << received[0].raw.size() << " octets received";
}

TEST_F(SendmailTest, RefusalsNameTheirReasonAndUseSysexitsCodes) {
  std::string big = "Subject: big\n\n";
  while (big.size() < 3'300'000) {
    big += std::string(70, 'x') + "\n";
  }
  std::ofstream(scratch.Path() / "sendmail.conf") << "# smaller\nmax_message_size = 3000000\n";
  ::setenv("QUILLPOST_SENDMAIL_CONFIG", (scratch.Path() / "sendmail.conf").c_str(), 1);
  const auto refused = [&](std::vector<std::string> arguments, const std::string& input, int code,
                           const std::string& reason) {
    const ProgramResult result = Sendmail(arguments, input);
    EXPECT_EQ(result.exitStatus, code) << result.err;
    EXPECT_NE(result.err.find(reason), std::string::npos) << result.err;
  };
  refused({"bob@example.org"}, big, EX_DATAERR, "too large (max_message_size in");
  ::unsetenv("QUILLPOST_SENDMAIL_CONFIG");
  refused({"bob@example.org"}, "Subject: long\n\n" + std::string(999, 'x'), EX_DATAERR,
          "longer than 998");
  refused({"-t"}, "Subject: nobody\n\nbody\n", EX_USAGE, "no recipients");
  // What the relay could not send is refused here, never answered as sent.
  for (const std::string sender : {"not an address", "<a@b.org> extra", "a@b.org\r\nRSET"}) {
    refused({"-f", sender, "bob@example.org"}, "Subject: x\n\nx\n", EX_USAGE,
            "cannot be used as the sender address");
  }
  refused({"bob@example.org"}, std::string("Subject: nul\n\n\0\n", 16), EX_DATAERR,
          "holds a NUL byte");
  std::vector<std::string> many;
  for (int i = 0; i < 33'000; ++i) {
    many.push_back("r" + std::to_string(i) + "@example.org");
  }
  refused(many, "Subject: many\n\nx\n", EX_DATAERR, "too many recipients");
  const ProgramResult closed = Shell("'" + tool + "' bob@example.org <&-");
  EXPECT_EQ(closed.exitStatus, EX_IOERR) << closed.err;
  EXPECT_NE(closed.err.find("standard input is closed"), std::string::npos) << closed.err;
  // No store holds the inbound queue: a temporary failure, the caller keeps the mail.
  refused({"bob@example.org"}, "Subject: later\n\nbody\n", EX_TEMPFAIL, "ERR - Internal error");
}

}  // namespace
}  // namespace quillpost::relay::testing
