// The stage and reply a failure is pinned on, from the protocol lines alone.

#include <gtest/gtest.h>

#include "mail/failure_classification.h"
#include "mail/smtp_dialogue.h"

namespace quillpost::smtp {
namespace {

// Plays a dialogue: lines starting with "C: " are sent, "S: " received,
// "DATA-OUT" is message content going out.
SmtpDialogue Play(const std::vector<std::string>& lines) {
  SmtpDialogue dialogue;
  for (const std::string& line : lines) {
    if (line.starts_with("C: ")) {
      dialogue.CommandSent(line.substr(3) + "\r\n");
    } else if (line.starts_with("S: ")) {
      dialogue.ReplyReceived(line.substr(3) + "\r\n");
    } else if (line == "DATA-OUT") {
      dialogue.ContentSent();
    }
  }
  return dialogue;
}

std::vector<std::string> UpToData() {
  return {"S: 220 mx ready",  "C: EHLO me",         "S: 250-mx",
          "S: 250 SIZE 100",  "C: MAIL FROM:<a@x>", "S: 250 ok",
          "C: RCPT TO:<b@x>", "S: 250 ok",          "C: DATA"};
}

std::vector<std::string> With(std::vector<std::string> lines, std::vector<std::string> more) {
  lines.insert(lines.end(), more.begin(), more.end());
  return lines;
}

int Number(const SmtpDialogue& dialogue, CURLcode code = CURLE_SEND_ERROR, bool connected = true) {
  return ClassifyFailure(code, dialogue, connected, "").Number();
}

TEST(Dialogue, RefusalsArePinnedOnTheirCommand) {
  EXPECT_EQ(Number(Play({"S: 554 go away"})), failure::kNotListening);
  EXPECT_EQ(Number(Play({"S: 220 hi", "C: EHLO me", "S: 502 no", "C: HELO me", "S: 502 no"})),
            failure::kNotListening);
  EXPECT_EQ(Number(Play({"S: 220 hi", "C: EHLO me", "S: 250 ok", "C: MAIL FROM:<a@x>",
                         "S: 553 no such sender"})),
            failure::kSenderRefused);
  EXPECT_EQ(Number(Play({"S: 220 hi", "C: EHLO me", "S: 250 ok", "C: MAIL FROM:<a@x>", "S: 250 ok",
                         "C: RCPT TO:<b@x>", "S: 250 ok", "C: RCPT TO:<c@x>", "S: 550 unknown"})),
            failure::kRecipientRefused);
  EXPECT_EQ(Number(Play(With(UpToData(), {"S: 451 try later"}))), failure::kDataRefused);
  EXPECT_EQ(Number(Play(With(UpToData(), {"S: 354 go", "DATA-OUT", "S: 552 too big"}))), 552);
}

TEST(Dialogue, ReplyCodeAndTextOfMultiLineAndSplitReplies) {
  SmtpDialogue dialogue = Play({"S: 220 hi", "C: EHLO me", "S: 250 ok", "C: MAIL FROM:<a@x>"});
  dialogue.ReplyReceived("550-5.1.0 first");
  dialogue.ReplyReceived(" part\r\n550 5.1.0 sec");
  dialogue.ReplyReceived("ond\r\n");
  const SendFailure failure = ClassifyFailure(CURLE_SEND_ERROR, dialogue, true, "MAIL failed");
  EXPECT_EQ(failure.Number(), failure::kSenderRefused);
  EXPECT_EQ(failure.ReplyCode(), 550);
  EXPECT_EQ(failure.ReplyText(), "5.1.0 first part 5.1.0 second");

  // A hostile server's endless line and endless continuation are cut short.
  dialogue = Play({"S: 220 hi", "C: EHLO me"});
  for (int i = 0; i < 1000; ++i) {
    dialogue.ReplyReceived("250-" + std::string(100000, 'x'));
    dialogue.ReplyReceived("\r\n");
  }
  dialogue.ReplyReceived("250 end\r\n");
  EXPECT_EQ(dialogue.LastReply().code, 250);
  EXPECT_LE(dialogue.LastReply().text.size(), 4096U);

  // One line that takes a megabyte to end keeps no more than a line's worth.
  dialogue = Play({"S: 220 hi", "C: EHLO me", "S: 250 ok", "C: MAIL FROM:<a@x>"});
  dialogue.ReplyReceived("550 ");
  for (int i = 0; i < 1000; ++i) {
    dialogue.ReplyReceived(std::string(1000, 'x'));
  }
  dialogue.ReplyReceived("\r\n");
  EXPECT_EQ(dialogue.LastReply().code, 550);
  EXPECT_LE(dialogue.LastReply().text.size(), 1024U);
}

TEST(Dialogue, SilenceIsPinnedOnTheStageThatWaited) {
  EXPECT_EQ(Number(Play({}), CURLE_OPERATION_TIMEDOUT, false), failure::kNoConnection);
  EXPECT_EQ(Number(Play({}), CURLE_OPERATION_TIMEDOUT, true), failure::kNotListening);
  EXPECT_EQ(Number(Play({"S: 220 hi", "C: EHLO me"}), CURLE_OPERATION_TIMEDOUT),
            failure::kNotListening);
  const auto content = Play(With(UpToData(), {"S: 354 go", "DATA-OUT"}));
  EXPECT_EQ(Number(content, CURLE_OPERATION_TIMEDOUT), failure::kTimedOutReceiving);
  EXPECT_EQ(Number(content, CURLE_SEND_ERROR), failure::kTimedOutReceiving);
  EXPECT_EQ(ClassifyFailure(CURLE_OPERATION_TIMEDOUT, content, true, "").ReplyCode(), 0);
}

TEST(Dialogue, QuitAfterAFailureChangesNothing) {
  const auto dialogue =
      Play(With(UpToData(), {"S: 354 go", "DATA-OUT", "S: 554 spam", "C: QUIT", "S: 221 bye"}));
  EXPECT_FALSE(dialogue.Accepted());
  EXPECT_EQ(Number(dialogue), 554);
  EXPECT_EQ(dialogue.LastReply().text, "spam");
}

TEST(Dialogue, AcceptanceAndTheEndOfTheSession) {
  const auto accepted = Play(With(UpToData(), {"S: 354 go", "DATA-OUT", "S: 250 queued"}));
  EXPECT_TRUE(accepted.Accepted());
  EXPECT_FALSE(accepted.EndedBadly());
  EXPECT_FALSE(
      Play(With(UpToData(), {"S: 354 go", "DATA-OUT", "S: 250 queued", "C: QUIT", "S: 221 bye"}))
          .EndedBadly());
  EXPECT_TRUE(
      Play(With(UpToData(), {"S: 354 go", "DATA-OUT", "S: 250 queued", "C: QUIT"})).EndedBadly());
  EXPECT_TRUE(
      Play(With(UpToData(), {"S: 354 go", "DATA-OUT", "S: 250 queued", "C: QUIT", "S: 500 what"}))
          .EndedBadly());
}

TEST(Dialogue, SaslLinesAreNotTakenForCommands) {
  const auto dialogue =
      Play({"S: 220 hi", "C: EHLO me", "S: 250 AUTH LOGIN", "C: AUTH LOGIN", "S: 334 VXNlcm5hbWU6",
            "C: DATA", "S: 334 UGFzc3dvcmQ6", "C: c2VjcmV0", "S: 535 5.7.8 bad credentials",
            "C: QUIT", "S: 221 bye"});
  EXPECT_EQ(dialogue.CurrentStage(), Stage::Auth);
  EXPECT_EQ(Number(dialogue, CURLE_LOGIN_DENIED), 535);
}

TEST(Dialogue, LibcurlCodesThatSpeakForThemselves) {
  const SmtpDialogue none;
  EXPECT_EQ(Number(none, CURLE_COULDNT_RESOLVE_HOST, false), failure::kHostNotFound);
  EXPECT_EQ(Number(none, CURLE_COULDNT_CONNECT, false), failure::kNoConnection);
  EXPECT_EQ(Number(none, CURLE_PEER_FAILED_VERIFICATION), failure::kCertificateRefused);
  EXPECT_EQ(Number(none, CURLE_SSL_CONNECT_ERROR), failure::kTlsFailed);
  EXPECT_EQ(Number(none, CURLE_OUT_OF_MEMORY), failure::kOutOfMemory);
  EXPECT_EQ(Number(none, CURLE_USE_SSL_FAILED), failure::kTlsUnavailable);
  EXPECT_EQ(
      Number(Play({"S: 220 hi", "C: EHLO me", "S: 250 STARTTLS", "C: STARTTLS", "S: 454 not now"}),
             CURLE_USE_SSL_FAILED),
      454);
  EXPECT_EQ(Number(Play({"S: 220 hi", "C: EHLO me", "S: 250 AUTH CRAM-MD5"}), CURLE_LOGIN_DENIED),
            failure::kAuthenticationUnavailable);
}

}  // namespace
}  // namespace quillpost::smtp
