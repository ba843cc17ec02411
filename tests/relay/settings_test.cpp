#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "relay/command_line.h"

namespace quillpost::relay {
namespace {

namespace fs = std::filesystem;

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("relay-settings-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(folder_ / "config" / "quillpost");
    ::setenv("XDG_CONFIG_HOME", (folder_ / "config").c_str(), 1);
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::string Write(const std::string& name, const std::string& text) {
    const fs::path path = folder_ / name;
    std::ofstream(path) << text;
    return path.string();
  }

  fs::path folder_;
};

TEST_F(SettingsTest, NoOptionsAndNoFileGiveTheBuiltInValues) {
  const CommandLine line = ParseCommandLine({});
  const Settings& s = line.settings;
  EXPECT_FALSE(line.help);
  EXPECT_EQ(s.inboundQueueName, "kvr_mailer");
  EXPECT_EQ(s.retryQueueNameA, "kvr_mailer_rA");
  EXPECT_EQ(s.retryQueueNameB, "kvr_mailer_rB");
  EXPECT_EQ(s.deadLetterQueueName, "kvr_mailer_dead");
  EXPECT_EQ(s.smtpServer, "localhost");
  EXPECT_EQ(s.retryAllowance, 4);
  EXPECT_EQ(s.retrySwapInterval, std::chrono::seconds(60));
  EXPECT_TRUE(s.logFile.empty());
  EXPECT_FALSE(s.headless);
}

TEST_F(SettingsTest, OptionsOverrideTheConfigFileWhichOverridesDefaults) {
  const std::string password = Write("secret", "s3cret\nignored\n");
  const std::string config = Write("relay.conf",
                                   "# comment\n\n"
                                   "smtp_server = mail.example.org\n"
                                   "  smtp_port=2525  \n"
                                   "smtp_security = tls\n"
                                   "smtp_password = from-file\n"
                                   "retry_allowance = 6\n"
                                   "notify = failure, delay\n"
                                   "notify_return = full\n");
  const Settings s =
      ParseCommandLine({"--smtp-port", "587", "--config", config, "--headless",
                        "--retry-interval=0.25", "--smtp-user", "ann", "--smtp-password-file",
                        password, "--log-file", "/tmp/x.log"})
          .settings;
  EXPECT_EQ(s.smtpServer, "mail.example.org");
  EXPECT_EQ(s.connection.port, 587);
  EXPECT_EQ(s.connection.security, smtp::Security::Tls);
  EXPECT_EQ(s.connection.user, "ann");
  EXPECT_EQ(s.connection.password, "s3cret");
  EXPECT_EQ(s.retryAllowance, 6);
  EXPECT_EQ(s.retrySwapInterval, std::chrono::milliseconds(250));
  EXPECT_EQ(s.logFile, "/tmp/x.log");
  EXPECT_TRUE(s.headless);
  EXPECT_TRUE(s.notifyFailure && s.notifyDelay && s.notifyReturnFull);
}

TEST_F(SettingsTest, DefaultConfigFileIsReadWhenItExists) {
  std::ofstream(folder_ / "config" / "quillpost" / "smtp.conf") << "inbound_queue = elsewhere\n";
  EXPECT_EQ(ParseCommandLine({}).settings.inboundQueueName, "elsewhere");
}

TEST_F(SettingsTest, BadInputIsRefusedWithAReason) {
  const std::vector<std::vector<std::string>> bad = {
      {"--smtp-port", "0"},
      {"--smtp-port", "70000"},
      {"--smtp-port", "25x"},
      {"--smtp-security", "ssl"},
      {"--retry-interval", "0"},
      {"--retry-interval", "soon"},
      {"--retry-allowance", "0"},
      {"--smtp-server", ""},
      {"--smtp-port"},
      {"--smtp-password", "secret"},  // passwords only from files
      {"--no-such-option", "1"},
      {"stray"},
      {"--smtp-password-file", "/nonexistent/secret"},
      {"--config", "/nonexistent/relay.conf"},
      {"--headless=yes"},
      {"--notify", "delay"},
      {"--notify", "failure,sometimes"},
      {"--notify-from", "not a domain"},
      {"--notify-copy-to", "postmaster"},
      {"--notify-return", "body"},
  };
  for (const auto& arguments : bad) {
    EXPECT_THROW(ParseCommandLine(arguments), UsageError) << arguments[0];
  }
}

TEST_F(SettingsTest, BadConfigLineNamesFileAndLine) {
  const std::string config = Write("bad.conf", "smtp_port = 25\nsmtp_port 26\n");
  try {
    ParseCommandLine({"--config", config});
    FAIL() << "accepted";
  } catch (const UsageError& e) {
    EXPECT_NE(std::string(e.what()).find(config + ":2:"), std::string::npos) << e.what();
  }
  const std::string unknown = Write("unknown.conf", "smtp_prot = 25\n");
  EXPECT_THROW(ParseCommandLine({"--config", unknown}), UsageError);
}

TEST_F(SettingsTest, HelpListsEveryOption) {
  EXPECT_TRUE(ParseCommandLine({"--smtp-port", "1", "--help"}).help);
  const std::string text = UsageText();
  for (const char* option :
       {"--headless", "--config FILE", "--smtp-server HOST", "--smtp-port N", "--smtp-security",
        "--smtp-user NAME", "--smtp-password-file FILE", "--log-file PATH",
        "--retry-interval SECONDS", "--retry-allowance N"}) {
    EXPECT_NE(text.find(option), std::string::npos) << option;
  }
}

TEST_F(SettingsTest, DefaultPathsFollowXdgThenHome) {
  ::setenv("XDG_STATE_HOME", "/state", 1);
  EXPECT_EQ(DefaultLogFile(), "/state/quillpost/kvrsmtp.log");
  ::unsetenv("XDG_STATE_HOME");
  ::setenv("HOME", "/home/ann", 1);
  EXPECT_EQ(DefaultLogFile(), "/home/ann/.local/state/quillpost/kvrsmtp.log");
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(DefaultConfigFile(), "/home/ann/.config/quillpost/smtp.conf");
}

TEST_F(SettingsTest, BrokerPasswordFileIsKeptAndNeverAnAttachment) {
  const std::string file = Write("broker", "s3cret\n");
  const Settings settings =
      ParseCommandLine({"--config", Write("conf", "broker_password_file = " + file + "\n")})
          .settings;
  EXPECT_EQ(settings.brokerPasswordFile, file);
  const auto& forbidden = settings.connection.attachments.forbidden;
  EXPECT_NE(std::find(forbidden.begin(), forbidden.end(), file), forbidden.end());
}

TEST_F(SettingsTest, SharedStoreRefusesAttachmentsUntilRootsAreSet) {
  const fs::path store = folder_ / "store";
  fs::create_directory(store);
  ::setenv("QUILLPOST_STORE", store.c_str(), 1);
  const std::string password = Write("secret", "s3cret\n");
  fs::permissions(store, fs::perms::owner_all);
  smtp::AttachmentRules rules =
      ParseCommandLine({"--smtp-password-file", password}).settings.connection.attachments;
  EXPECT_TRUE(rules.refusal.empty());
  EXPECT_NE(std::find(rules.forbidden.begin(), rules.forbidden.end(), password),
            rules.forbidden.end());
  fs::permissions(store, fs::perms::owner_all | fs::perms::group_all);
  EXPECT_NE(ParseCommandLine({}).settings.connection.attachments.refusal.find("attachment_roots"),
            std::string::npos);
  rules = ParseCommandLine({"--attachment-roots", "/srv/out, /srv/more"})
              .settings.connection.attachments;
  EXPECT_TRUE(rules.refusal.empty());
  EXPECT_EQ(rules.roots, (std::vector<std::string>{"/srv/out", "/srv/more"}));
  EXPECT_FALSE(ParseCommandLine({"--inbound-queue", "amqp://broker.test/vh/kvr_mailer"})
                   .settings.connection.attachments.refusal.empty());
  ::unsetenv("QUILLPOST_STORE");
}

}  // namespace
}  // namespace quillpost::relay
