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
    return quillpost::testing::RunProgram(QUILLPOST_SENDMAIL_PROGRAM, arguments, scratch.Path(),
                                          &input);
  }

  // Runs a shell command line in the scratch folder, with standard input empty.
  ProgramResult Shell(const std::string& command) {
    return quillpost::testing::RunProgram(
        "/bin/sh", {"-c", "cd '" + scratch.Path().string() + "' && " + command}, scratch.Path());
  }

  std::vector<peer::DeliveredMessage> Receive(const peer::SmtpPeer& smtp, std::size_t count,
                                              RelayProcess& relay) {
    EXPECT_TRUE(WaitFor([&] { return smtp.Messages().size() >= count; })) << relay.ErrorOutput();
    return smtp.Messages();
  }

  const std::string tool = QUILLPOST_SENDMAIL_PROGRAM;
};

TEST_F(SendmailTest, CronStyleMessageTravelsWholeToItsHeaderRecipientsWithoutBcc) {
  peer::SmtpPeer smtp;
  auto relay = StartRelay(smtp.Port());
  const std::string message =
      "From: Cron Daemon <root@host.example>\n"
      "To: ops@example.org\n"
      "Cc: Dev Team <dev@example.org>\n"
      "Bcc: audit@example.org,\n"
      " archive@example.org\n"
      "Subject: Cron <root@host> run-parts /etc/cron.daily\n"
      "MIME-Version: 1.0\n"
      "Content-Type: text/plain; charset=UTF-8\n"
      "X-Cron-Env: <SHELL=/bin/sh>\n"
      "\n"
      "line one\n"
      ".\n"
      "..two dots\n"
      "Bcc: stays in the body\n";
  const ProgramResult result = Sendmail({"-i", "-t"}, message);
  ASSERT_EQ(result.exitStatus, EX_OK) << result.err;

  const auto received = Receive(smtp, 1, *relay);
  ASSERT_EQ(received.size(), 1U);
  const peer::DeliveredMessage& mail = received[0];
  EXPECT_EQ(mail.envelopeFrom, "root@host.example");
  EXPECT_EQ(mail.envelopeTo,
            (std::vector<std::string>{"ops@example.org", "dev@example.org", "audit@example.org",
                                      "archive@example.org"}));
  // Date and Message-ID go in front; every other byte is the message as given
  // without its Bcc field.
  std::string withoutBcc = message;
  withoutBcc.erase(withoutBcc.find("Bcc: audit"), std::string("Bcc: audit@example.org,\n"
                                                              " archive@example.org\n")
                                                      .size());
  ASSERT_EQ(mail.Header("Date").size(), 1U);
  ASSERT_EQ(mail.Header("Message-ID").size(), 1U);
  EXPECT_EQ(mail.raw.substr(mail.raw.find("From: Cron")), WithCrLf(withoutBcc));
  EXPECT_TRUE(mail.Header("Bcc").empty());
  EXPECT_EQ(mail.raw.find("audit@"), std::string::npos);

  // The status lines show the subject and the text part (one list line per
  // line of the body here).
  const auto shown = [&](const std::string& line) {
    const auto lines = relay->StatusLines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  };
  ASSERT_TRUE(WaitFor([&] { return shown("SENT"); }));
  EXPECT_TRUE(shown("SUBJ: Cron <root@host> run-parts /etc/cron.daily"));
  EXPECT_TRUE(shown("BODY: line one"));

  // mailq lists what quillpost-queue lists.
  const std::string queueFolder =
      std::filesystem::path(QUILLPOST_QUEUE_PROGRAM).parent_path().string();
  const ProgramResult listing = Shell("PATH='" + queueFolder + "':$PATH '" + tool + "' -bp");
  EXPECT_EQ(listing.exitStatus, EX_OK) << listing.err;
  EXPECT_NE(listing.out.find("kvr_mailer"), std::string::npos) << listing.out;
}

TEST_F(SendmailTest, GitSendEmailPatchesArriveByteForByteWithTheirThread) {
  peer::SmtpPeer smtp;
  auto relay = StartRelay(smtp.Port());
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

  const auto received = Receive(smtp, 2, *relay);
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
  peer::SmtpPeer smtp;
  auto relay = StartRelay(smtp.Port());
  std::ofstream(scratch.Path() / "mailrc") << "set sendmail=" << tool << "\n";
  const ProgramResult sent = Shell(
      "printf 'Disk sda is failing.\\n' | HOME=. MAILRC=mailrc mail -s 'SMART error (sda)' "
      "-c cc@example.org admin@example.org");
  ASSERT_EQ(sent.exitStatus, 0) << sent.out << sent.err;

  const auto received = Receive(smtp, 1, *relay);
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

TEST_F(SendmailTest, RefusalsNameTheirReasonAndUseSysexitsCodes) {
  std::string big = "Subject: big\n\n";
  while (big.size() < 3'300'000) {
    big += std::string(70, 'x') + "\n";
  }
  ProgramResult result = Sendmail({"bob@example.org"}, big);
  EXPECT_EQ(result.exitStatus, EX_DATAERR);
  EXPECT_NE(result.err.find("the limit is 4 MiB"), std::string::npos) << result.err;

  result = Sendmail({"bob@example.org"}, "Subject: long\n\n" + std::string(999, 'x') + "\n");
  EXPECT_EQ(result.exitStatus, EX_DATAERR);
  EXPECT_NE(result.err.find("longer than 998"), std::string::npos) << result.err;

  result = Sendmail({"-t"}, "Subject: nobody\n\nbody\n");
  EXPECT_EQ(result.exitStatus, EX_USAGE);
  EXPECT_NE(result.err.find("no recipients"), std::string::npos) << result.err;

  // No store holds the inbound queue: a temporary failure, the caller keeps the mail.
  result = Sendmail({"bob@example.org"}, "Subject: later\n\nbody\n");
  EXPECT_EQ(result.exitStatus, EX_TEMPFAIL);
  EXPECT_NE(result.err.find("ERR - Internal error"), std::string::npos) << result.err;
}

}  // namespace
}  // namespace quillpost::relay::testing
