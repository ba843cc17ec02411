#include "submit_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillpost::submit {
namespace {

TEST(SubmitOptions, RepeatedOptionsKeepTheirOrderAndValuesMayContainEquals) {
  const SubmitOptions options =
      ParseOptions({"--to=b@example.org", "--to", "a@example.org", "--attach", "/x/2",
                    "--attach=/x/1", "--subject=a=b", "--body", "--not-an-option"});
  EXPECT_EQ(options.recipients, (std::vector<std::string>{"b@example.org", "a@example.org"}));
  EXPECT_EQ(options.attachments, (std::vector<std::string>{"/x/2", "/x/1"}));
  EXPECT_EQ(options.subject, "a=b");
  // A value that looks like an option is still the value.
  EXPECT_EQ(options.bodySource, BodySource::Text);
  EXPECT_EQ(options.body, "--not-an-option");
}

TEST(SubmitOptions, Defaults) {
  const SubmitOptions options = ParseOptions({"--from", "a@example.org"});
  EXPECT_EQ(options.queue, "kvr_mailer");
  EXPECT_EQ(options.name, "");
  EXPECT_EQ(options.bodySource, BodySource::Input);
  EXPECT_FALSE(options.print);
  EXPECT_EQ(ParseOptions({"--body-file", "-"}).bodySource, BodySource::File);
}

TEST(SubmitOptions, HelpWinsOverEverythingElse) {
  EXPECT_TRUE(ParseOptions({"--name", "n", "--help"}).help);
  EXPECT_THROW(ParseOptions({"--queue", ""}), UsageError);
  EXPECT_THROW(ParseOptions({"--from"}), UsageError);
}

TEST(SubmitOptions, ARefusedPasswordIsNotEchoed) {
  try {
    ParseOptions({"--queue-password=secret"});
    ADD_FAILURE() << "accepted";
  } catch (const UsageError& error) {
    EXPECT_EQ(std::string(error.what()).find("secret"), std::string::npos) << error.what();
  }
}

}  // namespace
}  // namespace quillpost::submit
