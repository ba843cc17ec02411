#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "document/request_reader.h"
#include "quillpost/submission.h"
#include "worked_example.h"

namespace quillpost {
namespace {

using Code = SubmissionError::Code;
using document::RequestReader;

// Sets every field of the example request, in its order.
void FillExample(Submission& mail) {
  mail.SetFrom("sender-address", "Sender Name");
  mail.AddRecipient("first-recipient");
  mail.AddRecipient("second-recipient");
  mail.SetSubject("Monthly figures & notes");
  mail.SetBody("See the attached figures.");
  mail.AddAttachment("C:\\out\\figures.xls");
}

// Runs call and expects it to raise a SubmissionError with code.
template <typename Call>
void ExpectError(Code code, Call&& call) {
  try {
    call();
    ADD_FAILURE() << "no SubmissionError raised";
  } catch (const SubmissionError& error) {
    EXPECT_EQ(error.ErrorCode(), code) << error.what();
    EXPECT_NE(std::string(error.what()), "");
  }
}

TEST(SubmissionBuilder, BuildsTheExampleRequestByteForByte) {
  Submission mail;
  mail.Initialise();
  FillExample(mail);
  EXPECT_EQ(mail.DocumentText(), testing::kExampleDocument);
}

TEST(SubmissionBuilder, ElementsFollowTheOrderOfTheCalls) {
  Submission mail;
  mail.Initialise();
  mail.AddRecipient("b@example.org");
  mail.AddRecipient("a@example.org");
  mail.AddRecipient("b@example.org");  // not merged
  mail.SetBody("body first");
  mail.SetFrom("from@example.org", "From");
  mail.SetSubject("subject second");
  const std::string text = mail.DocumentText();
  EXPECT_LT(text.find("<TO>"), text.find("<FROM>"));
  EXPECT_LT(text.find("<BODY>"), text.find("<SUBJECT>"));
  const RequestReader reader(text);
  EXPECT_EQ(reader.All("TO"),
            (std::vector<std::string>{"b@example.org", "a@example.org", "b@example.org"}));
  EXPECT_EQ(reader.First("FROM-NAME"), "From");
  // No attachment: the section is still there, empty.
  EXPECT_NE(text.find("Attachments"), std::string::npos);
  EXPECT_TRUE(reader.All("FILE").empty());
  EXPECT_EQ(mail.RecipientCount(), 3);
}

TEST(SubmissionBuilder, LaterSettersReplaceInPlace) {
  Submission mail;
  mail.Initialise();
  mail.SetFrom("old@example.org", "Old");
  mail.SetSubject("old subject");
  mail.SetBody("old body");
  mail.AddRecipient("to@example.org");
  mail.SetFrom("new@example.org", "New");
  mail.SetSubject("new subject");
  mail.SetBody("new body");
  const std::string text = mail.DocumentText();
  // Replacing keeps each element where the first call put it.
  EXPECT_TRUE(text.starts_with(
      "<Quillpost-1.0><Routing><FROM>new@example.org</FROM><FROM-NAME>New</FROM-NAME>"
      "<TO>to@example.org</TO></Routing><Message><SUBJECT>new subject</SUBJECT>"
      "<BODY>new body</BODY></Message>"))
      << text;
}

TEST(SubmissionBuilder, NumbersAndBooleansAreStoredAsTheirText) {
  Submission mail;
  mail.Initialise();
  mail.AddRecipient(12345);
  mail.AddRecipient(-7L);
  mail.AddRecipient(std::numeric_limits<std::uint64_t>::max());
  mail.AddRecipient(static_cast<short>(-32768));
  mail.AddRecipient(0.1);
  mail.AddRecipient(2.5F);
  mail.AddRecipient(1e21);
  mail.AddRecipient(true);
  mail.AddRecipient(false);
  mail.AddRecipient(std::string("text"));
  mail.AddRecipient(std::string_view("view"));
  EXPECT_EQ(RequestReader(mail.DocumentText()).All("TO"),
            (std::vector<std::string>{"12345", "-7", "18446744073709551615", "-32768", "0.1", "2.5",
                                      "1e+21", "True", "False", "text", "view"}));
}

TEST(SubmissionBuilder, EmptyTextIsAValue) {
  Submission mail;
  mail.Initialise();
  mail.AddRecipient("to@example.org");
  mail.SetFrom("", "");
  mail.SetSubject("");
  mail.SetBody("");
  const RequestReader reader(mail.DocumentText());
  EXPECT_EQ(reader.First("SUBJECT"), "");
  EXPECT_EQ(reader.First("FROM"), "");
  EXPECT_EQ(reader.First("BODY"), "");
}

TEST(SubmissionBuilder, SettersNeedARequestUnderWay) {
  Submission mail;
  EXPECT_FALSE(mail.HasRequest());
  ExpectError(Code::NoRequest, [&] { mail.SetFrom("a", "b"); });
  ExpectError(Code::NoRequest, [&] { mail.AddRecipient("a"); });
  ExpectError(Code::NoRequest, [&] { mail.SetSubject("a"); });
  ExpectError(Code::NoRequest, [&] { mail.SetBody("a"); });
  ExpectError(Code::NoRequest, [&] { mail.AddAttachment("a"); });
  ExpectError(Code::NoRequest, [&] { (void)mail.DocumentText(); });
  mail.Finalise();  // nothing to release; not an error

  // After the failures a request builds normally.
  mail.Initialise();
  FillExample(mail);
  EXPECT_EQ(mail.DocumentText(), testing::kExampleDocument);

  mail.Finalise();
  EXPECT_FALSE(mail.HasRequest());
  ExpectError(Code::NoRequest, [&] { mail.AddRecipient("a"); });
  ExpectError(Code::NoRequest, [&] { mail.SetSubject("a"); });
  // Finalise keeps the count of the finished request.
  EXPECT_EQ(mail.RecipientCount(), 2);
}

TEST(SubmissionBuilder, InitialiseStartsAnEmptyRequest) {
  Submission mail;
  mail.Initialise();
  mail.SetFrom("a@example.org", "A");
  mail.AddRecipient("b@example.org");
  mail.SetSubject("s");
  mail.SetBody("b");
  mail.AddAttachment("/tmp/f");
  mail.Initialise();
  EXPECT_EQ(mail.RecipientCount(), 0);
  const RequestReader reader(mail.DocumentText());
  for (const char* tag : {"FROM", "FROM-NAME", "TO", "SUBJECT", "BODY", "FILE"}) {
    EXPECT_TRUE(reader.All(tag).empty()) << tag;
  }
  // The flags went back too: the same setters append again rather than replace.
  mail.AddRecipient("c@example.org");
  EXPECT_EQ(mail.Send("no-such-queue-anywhere"), kAnswerNoFrom);
  mail.SetFrom("d@example.org", "D");
  EXPECT_EQ(mail.Send("no-such-queue-anywhere"), kAnswerNoSubject);
}

TEST(SubmissionBuilder, ValueWithoutTextChangesNothing) {
  const char* const none = nullptr;
  Submission mail;
  mail.Initialise();
  ExpectError(Code::NoTextForm, [&] { mail.AddRecipient(none); });
  ExpectError(Code::NoTextForm, [&] { mail.AddAttachment(none); });
  ExpectError(Code::NoTextForm, [&] { mail.SetSubject(none); });
  ExpectError(Code::NoTextForm, [&] { mail.SetBody(none); });
  ExpectError(Code::NoTextForm, [&] { mail.SetFrom("a@example.org", none); });
  ExpectError(Code::NoTextForm, [&] { mail.SetFrom(none, "A"); });
  EXPECT_EQ(mail.RecipientCount(), 0);
  const RequestReader empty(mail.DocumentText());
  for (const char* tag : {"FROM", "FROM-NAME", "TO", "SUBJECT", "BODY", "FILE"}) {
    EXPECT_TRUE(empty.All(tag).empty()) << tag;
  }

  // A replacing SetFrom with one bad value keeps the old address and name
  // together.
  mail.SetFrom("old@example.org", "Old");
  ExpectError(Code::NoTextForm, [&] { mail.SetFrom("new@example.org", none); });
  const RequestReader reader(mail.DocumentText());
  EXPECT_EQ(reader.All("FROM"), std::vector<std::string>{"old@example.org"});
  EXPECT_EQ(reader.All("FROM-NAME"), std::vector<std::string>{"Old"});
}

TEST(SubmissionBuilder, CharactersARequestCannotCarryAreRefused) {
  Submission mail;
  mail.Initialise();
  const std::string before = mail.DocumentText();
  ExpectError(Code::InvalidValue, [&] { mail.AddRecipient(std::string("a\x01") + "b"); });
  ExpectError(Code::InvalidValue, [&] { mail.SetSubject("bell\a"); });
  ExpectError(Code::InvalidValue, [&] { mail.SetBody(std::string("nul\0x", 5)); });
  ExpectError(Code::InvalidValue, [&] { mail.AddAttachment("\x1b[1m"); });
  // First SetFrom: a good address and a bad name add neither.
  ExpectError(Code::InvalidValue, [&] { mail.SetFrom("a@example.org", "\x7f\x02"); });
  EXPECT_EQ(mail.DocumentText(), before);
  EXPECT_EQ(mail.RecipientCount(), 0);

  mail.SetFrom("a@example.org", "A");
  mail.SetSubject("s");
  ExpectError(Code::InvalidValue, [&] { mail.SetFrom("b@example.org", "\x03"); });
  ExpectError(Code::InvalidValue, [&] { mail.SetSubject("\x04"); });
  const RequestReader reader(mail.DocumentText());
  EXPECT_EQ(reader.All("FROM"), std::vector<std::string>{"a@example.org"});
  EXPECT_EQ(reader.First("SUBJECT"), "s");

  // Tab, line breaks and non-ASCII text are carried unchanged.
  mail.SetBody("line one\r\nline\ttwo\n\xc3\xa9t\xc3\xa9 <&>");
  EXPECT_EQ(RequestReader(mail.DocumentText()).First("BODY"),
            "line one\r\nline\ttwo\n\xc3\xa9t\xc3\xa9 <&>");
}

TEST(SubmissionBuilder, RecipientLimit) {
  Submission mail;
  mail.Initialise();
  for (int i = 0; i < kMaxRecipients; ++i) {
    mail.AddRecipient(i);
  }
  EXPECT_EQ(mail.RecipientCount(), kMaxRecipients);
  ExpectError(Code::TooManyRecipients, [&] { mail.AddRecipient("one-too-many"); });
  EXPECT_EQ(mail.RecipientCount(), kMaxRecipients);
  ExpectError(Code::TooManyRecipients, [&] { mail.AddRecipient("and-another"); });
  EXPECT_EQ(mail.RecipientCount(), kMaxRecipients);
  // The refused recipients stay in the request; the count does not grow.
  const std::vector<std::string> all = RequestReader(mail.DocumentText()).All("TO");
  ASSERT_EQ(all.size(), static_cast<std::size_t>(kMaxRecipients) + 2);
  EXPECT_EQ(all.back(), "and-another");
  // A new request counts from zero again.
  mail.Initialise();
  mail.AddRecipient("fresh");
  EXPECT_EQ(mail.RecipientCount(), 1);
}

}  // namespace
}  // namespace quillpost
