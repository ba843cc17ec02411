#include "document/request_format.h"
#include "relay_test_support.h"

namespace quillpost::relay::testing {
namespace {

using DispatchTest = ServiceTest;

TEST_F(DispatchTest, CompleteRequestShowsEveryFieldAndFillsTheMailInOrder) {
  Start();
  EXPECT_EQ(status->DispatchMail(kRequest), "OK");
  EXPECT_EQ(view.lines,
            (std::vector<std::string>{"FROM: ann@example.org", "NAME: Ann Lee",
                                      "TO: bob@example.org", "TO: cy@example.org", "SUBJ: Hello",
                                      "BODY: Two & two", "FILE: /tmp/report.pdf", "SENT"}));
  ASSERT_EQ(mails.Sent().size(), 1U);
  EXPECT_EQ(
      mails.Sent()[0].calls,
      (std::vector<std::string>{
          "SetServer:localhost", "SetConnectionSettings:25", "SetSenderAddress:ann@example.org",
          "SetSenderName:Ann Lee", "AddRecipient:bob@example.org", "AddRecipient:cy@example.org",
          "SetSubject:Hello", "SetBody:Two & two", "AddAttachment:/tmp/report.pdf",
          "SetMailerIdentification:KVR Quillpost v1.0", "Send:"}));
  EXPECT_EQ(log.entries.size(), 1U);  // the start-up line only
}

TEST_F(DispatchTest, SendFailuresAreLoggedByNumberAndAnswerErr) {
  Start();
  // Where it went and why it failed; a request first seen here also has its id.
  const std::string kDetail = "Relay=localhost:25, Reply=scripted failure";
  const std::vector<std::tuple<int, std::string, std::string>> cases = {
      {1, "Unable to connect to specified SMTP server", kDetail},
      {40, "SMTP server has rejected the recipient(s)", kDetail},
      {60, "STMP server timed out whilst recieving your message", kDetail},
      {101, "Unable to locate/access specified attachment(s)", kDetail},
      {42, "Undetermined event attepting to send mail (data is err code)", "42"},
      {-7, "Undetermined event attepting to send mail (data is err code)", "-7"},
  };
  for (const auto& [number, message, data] : cases) {
    log.entries.clear();
    view.lines.clear();
    FailSends(number);
    EXPECT_EQ(status->DispatchMail(kRequest), "ERR") << number;
    EXPECT_EQ(log.entries, (LogLines{{message, data}})) << number;
    EXPECT_EQ(view.lines.back(), "SENT") << number;
  }
}

TEST_F(DispatchTest, ProblemAfterAcceptanceIsLoggedButAnswersOk) {
  Start();
  log.entries.clear();
  mails.Script({MailScript{{}, 0, 70}});
  EXPECT_EQ(status->DispatchMail(kRequest), "OK");
  EXPECT_EQ(log.entries, (LogLines{{"Unable to terminate session *nicely*", ""}}));
}

TEST_F(DispatchTest, MissingSubjectFailsAfterTheLinesShownSoFar) {
  Start();
  const std::string request =
      "<Quillpost-1.0><Routing><FROM>a@x</FROM><FROM-NAME>A</FROM-NAME><TO>b@y</TO></Routing>"
      "<Message><BODY>b</BODY></Message><Attachments/></Quillpost-1.0>";
  EXPECT_THROW(status->DispatchMail(request), document::MissingElement);
  EXPECT_EQ(view.lines, (std::vector<std::string>{"FROM: a@x", "NAME: A", "TO: b@y"}));
  EXPECT_TRUE(mails.Sent().empty());
}

TEST_F(DispatchTest, TextThatDoesNotParseShowsNothing) {
  Start();
  EXPECT_THROW(status->DispatchMail("<Quillpost-1.0><FROM>a</Quillpost-1.0>"),
               document::ParseError);
  EXPECT_TRUE(view.lines.empty());
}

TEST_F(DispatchTest, FirstOfRepeatedFieldsWinsWhereverItStands) {
  Start();
  const std::string request =
      "<R><FROM>outside@x</FROM><Routing><FROM>second@x</FROM><FROM-NAME></FROM-NAME></Routing>"
      "<SUBJECT></SUBJECT><BODY>b</BODY></R>";
  EXPECT_EQ(status->DispatchMail(request), "OK");
  EXPECT_EQ(view.lines,
            (std::vector<std::string>{"FROM: outside@x", "NAME: ", "SUBJ: ", "BODY: b", "SENT"}));
  EXPECT_EQ(mails.Sent()[0].calls[2], "SetSenderAddress:outside@x");
}

TEST_F(DispatchTest, LongValuesAreCutOnTheStatusLines) {
  Start();
  const std::string body(5000, 'b');
  const std::string request =
      "<Quillpost-1.0><Routing><FROM>a@x</FROM><FROM-NAME>A</FROM-NAME><TO>b@y</TO></Routing>"
      "<Message><SUBJECT>s</SUBJECT><BODY>" +
      body + "</BODY></Message></Quillpost-1.0>";
  EXPECT_EQ(status->DispatchMail(request), "OK");
  EXPECT_EQ(view.lines[4], "BODY: " + body.substr(0, 1000) + " [...]");
  EXPECT_EQ(mails.Sent()[0].calls[6], "SetBody:" + body);
}

}  // namespace
}  // namespace quillpost::relay::testing
