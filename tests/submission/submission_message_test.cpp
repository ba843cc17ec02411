#include <gtest/gtest.h>

#include <string>

#include "document/request_reader.h"
#include "document/whole_message.h"
#include "eventlog/event_log.h"
#include "quillpost/submission.h"

namespace quillpost {
namespace {

const std::string kMime =
    "From: Ann <ann@example.org>\r\n"
    "To: bob@example.org\r\n"
    "Bcc: secret@example.org\r\n"
    "resent-BCC : forwarded@example.org,\r\n"
    "  also@example.org\r\n"
    "Subject: =?ISO-8859-1?Q?Gr=FC=DFe?=\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/alternative; boundary=\"b\"\r\n"
    "\r\n"
    "--b\r\n"
    "Content-Type: text/plain; charset=ISO-8859-1\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n"
    "\r\n"
    "Sch=F6n =01 & <gut>\r\n"
    "--b\r\n"
    "Content-Type: text/html\r\n"
    "\r\n"
    "<p>Sch&ouml;n</p>\r\n"
    "--b--\r\n";

TEST(SubmissionMessage, CarriesTheMessageWithoutBccAndShowsItsSubjectAndText) {
  Submission mail;
  mail.Initialise();
  mail.SetFrom("ann@example.org", "Ann");
  mail.AddRecipient("bob@example.org");
  mail.SetMessage("Subject: replaced\r\n\r\nfirst\r\n");
  mail.SetMessage(kMime);
  {
    const eventlog::ScopedSink quiet{[](std::string_view) {}};
    EXPECT_EQ(mail.Send("no/such/queue"), kAnswerInternalError);  // the checks pass
  }

  const document::RequestReader request(mail.DocumentText());
  EXPECT_EQ(request.First(document::kSubjectTag), "Grüße");
  EXPECT_EQ(request.First(document::kBodyTag), "Schön \xEF\xBF\xBD & <gut>");
  EXPECT_EQ(request.All(document::kWholeMessageTag).size(), 1U);
  std::string withoutBcc = kMime;
  const std::string bccFields =
      "Bcc: secret@example.org\r\nresent-BCC : forwarded@example.org,\r\n  also@example.org\r\n";
  withoutBcc.erase(withoutBcc.find(bccFields), bccFields.size());
  EXPECT_EQ(document::ReadWholeMessage(request), withoutBcc);
}

TEST(SubmissionMessage, TakesEveryLineEndAsOneAndRefusesANul) {
  Submission mail;
  mail.Initialise();
  mail.SetMessage("To: bob@example.org\rBcc: secret@example.org\rSubject: x\n\rline\r.\r\nend");
  EXPECT_EQ(document::ReadWholeMessage(document::RequestReader(mail.DocumentText())),
            "To: bob@example.org\r\nSubject: x\r\n\r\nline\r\n.\r\nend\r\n");

  using namespace std::string_literals;
  for (const std::string& refused :
       {"Subject: x\r\n\r\nnul \0 here\r\n"s, "\r\n\n"s, "Bcc: secret@example.org\n"s}) {
    try {
      mail.SetMessage(refused);
      ADD_FAILURE() << "taken: " << refused;
    } catch (const SubmissionError& error) {
      EXPECT_EQ(error.ErrorCode(), SubmissionError::Code::InvalidValue);
    }
  }
}

// The limit counts the message as it is queued: CR LF lines, no Bcc field.
TEST(SubmissionMessage, RefusesAMessageLargerThanItsLimitAndKeepsTheOneBefore) {
  Submission mail;
  EXPECT_EQ(mail.MaxMessageSize(), kDefaultMaxMessageSize);
  EXPECT_THROW(mail.SetMaxMessageSize(kMaxMessageSizeLimit + 1), SubmissionError);
  EXPECT_THROW(mail.SetMaxMessageSize(0), SubmissionError);
  mail.SetMaxMessageSize(1024);
  mail.Initialise();
  EXPECT_EQ(mail.MaxMessageSize(), 1024U);
  const std::string fits = "Bcc: x@example.org\nSubject: fits\n\n" + std::string(998, 'a') + "\n";
  mail.SetMessage(fits);
  try {
    mail.SetMessage("Subject: large\n\n" + std::string(600, 'b') + "\n" + std::string(600, 'c'));
    ADD_FAILURE() << "a message of more than 1024 octets taken";
  } catch (const SubmissionError& error) {
    EXPECT_EQ(error.ErrorCode(), SubmissionError::Code::TooLarge);
  }
  EXPECT_NE(mail.DocumentText().find("<SUBJECT>fits</SUBJECT>"), std::string::npos);
}

}  // namespace
}  // namespace quillpost
