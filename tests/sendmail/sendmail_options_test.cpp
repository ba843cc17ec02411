#include "sendmail_options.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "sendmail_message.h"

namespace quillpost::sendmail {
namespace {

TEST(SendmailOptions, TakesWhatProgramsPassAndIgnoresWhatMeansNothingHere) {
  const SendmailOptions options =
      ParseOptions("/usr/sbin/sendmail", {"-oi", "-odb", "-oem", "-oQ/var/spool", "-v", "-B",
                                          "8BITMIME", "-N", "never", "-ti", "-f<ann@example.org>",
                                          "-F", "Ann Lee", "bob@example.org", "--", "-odd"});
  EXPECT_EQ(options.mode, Mode::Deliver);
  EXPECT_TRUE(options.recipientsFromHeaders);
  EXPECT_FALSE(options.dotEndsInput);
  EXPECT_EQ(options.sender, "ann@example.org");
  EXPECT_EQ(options.fullName, "Ann Lee");
  EXPECT_EQ(options.recipients, (std::vector<std::string>{"bob@example.org", "-odd"}));

  EXPECT_TRUE(ParseOptions("sendmail", {"bob@example.org"}).dotEndsInput);
  EXPECT_FALSE(ParseOptions("sendmail", {"-r", "<>"}).sender.has_value());
  EXPECT_EQ(ParseOptions("sendmail", {"-bp"}).mode, Mode::ListQueue);
  EXPECT_EQ(ParseOptions("/usr/bin/mailq", {}).mode, Mode::ListQueue);
  EXPECT_THROW(ParseOptions("sendmail", {"-bs"}), UsageError);
  EXPECT_THROW(ParseOptions("sendmail", {"-X", "log"}), UsageError);
  EXPECT_THROW(ParseOptions("sendmail", {"-f"}), UsageError);
}

// Standard input holding text.
std::unique_ptr<std::FILE, int (*)(std::FILE*)> Input(std::string& text) {
  return {::fmemopen(text.data(), text.size(), "r"), &std::fclose};
}

TEST(SendmailInput, LoneDotEndsTheMessageUnlessTurnedOff) {
  std::string dotted("Subject: a\n\nbody\n.\nafter\n");
  EXPECT_EQ(ReadMessage(Input(dotted).get(), true), "Subject: a\n\nbody\n");
  std::string kept("Subject: a\r\n\r\n.\r\nafter");
  EXPECT_EQ(ReadMessage(Input(kept).get(), false), "Subject: a\r\n\r\n.\r\nafter");
}

TEST(SendmailDelivery, ArgumentsThenHeaderRecipientsOnceEachAndBareNamesQualified) {
  SendmailOptions options;
  options.recipients = {"cy@example.org, bob@example.org"};
  options.recipientsFromHeaders = true;
  const Delivery delivery = PlanDelivery(
      options, "From: \"Lee, Ann\" <ann@example.org>\nTo: Bob <bob@example.org>, root\n\nx\n",
      {"ann", "host.example"});
  EXPECT_EQ(delivery.recipients,
            (std::vector<std::string>{"cy@example.org", "bob@example.org", "root@host.example"}));
  EXPECT_EQ(delivery.sender, "ann@example.org");
  EXPECT_EQ(delivery.senderName, "Lee, Ann");
}

TEST(SendmailDelivery, HeaderLinesEndedByALoneCrAreLinesForEveryStep) {
  SendmailOptions options;
  options.recipientsFromHeaders = true;
  const Delivery delivery = PlanDelivery(
      options, "From: ann@example.org\rTo: bob@example.org\rBcc: cy@example.org\r\rx\n",
      {"ann", "host.example"});
  EXPECT_EQ(delivery.recipients, (std::vector<std::string>{"bob@example.org", "cy@example.org"}));
  EXPECT_EQ(delivery.message,
            "From: ann@example.org\r\nTo: bob@example.org\r\nBcc: cy@example.org\r\n\r\nx\r\n");
}

}  // namespace
}  // namespace quillpost::sendmail
