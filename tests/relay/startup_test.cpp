#include "relay_test_support.h"

namespace quillpost::relay::testing {
namespace {

using StartupTest = ServiceTest;

TEST_F(StartupTest, FullStartUpCreatesOpensArmsAndLogs) {
  Start();
  EXPECT_TRUE(started);
  for (const char* name : {"kvr_mailer", "kvr_mailer_rA", "kvr_mailer_rB", "kvr_mailer_dead"}) {
    EXPECT_TRUE(store.Has(name)) << name;
  }
  EXPECT_TRUE(Inbound().Armed());
  EXPECT_TRUE(RetryA().Armed());
  EXPECT_TRUE(RetryB().Armed());
  EXPECT_EQ(view.calls, (std::vector<std::string>{"AddTrayIcon", "Clear", "Hide"}));
  EXPECT_EQ(status->TargetRetryQueue, "B");
  EXPECT_EQ(status->ActiveRetryQueue, "A");
  EXPECT_EQ(status->RetryAllowance, 4);
  EXPECT_EQ(status->SmtpServer, "localhost");
  EXPECT_EQ(timer.interval, std::chrono::seconds(60));
  EXPECT_EQ(log.entries, (LogLines{{"Server Initialised & Listening", ""}}));
  EXPECT_TRUE(eventLog.empty());
}

TEST_F(StartupTest, SecondInstanceSkipsOnlyTheTrayIcon) {
  view.anotherInstance = true;
  Start();
  EXPECT_TRUE(started);
  EXPECT_EQ(view.calls, (std::vector<std::string>{"Clear", "Hide"}));
  EXPECT_EQ(log.entries.size(), 1U);
}

TEST_F(StartupTest, FailingStepEndsStartUpThereAndIsReported) {
  store.failOpen.insert("kvr_mailer_rB");
  Start();
  EXPECT_FALSE(started);
  EXPECT_TRUE(Inbound().Armed());
  EXPECT_TRUE(RetryA().Armed());
  EXPECT_EQ(status->RetryQueueB, nullptr);
  EXPECT_EQ(view.calls, (std::vector<std::string>{"AddTrayIcon"}));
  EXPECT_EQ(status->TargetRetryQueue, "");
  EXPECT_EQ(status->ActiveRetryQueue, "");
  EXPECT_EQ(status->RetryAllowance, 0);
  EXPECT_EQ(timer.interval.count(), 0);
  EXPECT_TRUE(log.entries.empty());
  ASSERT_EQ(eventLog.size(), 1U);
  EXPECT_NE(eventLog[0].find("step 7"), std::string::npos) << eventLog[0];
  EXPECT_NE(eventLog[0].find("kvr_mailer_rB"), std::string::npos) << eventLog[0];
  // Ready all the same: the service runs on, and its manager must not wait for it.
  ASSERT_EQ(notifier.notes.size(), 1U);
  EXPECT_TRUE(notifier.notes[0].starts_with("Ready: start-up stopped at step 7"))
      << notifier.notes[0];
}

TEST_F(StartupTest, SettingsReachTheStateRecord) {
  Settings settings;
  settings.inboundQueueName = "in";
  settings.smtpServer = "mail.example.org";
  settings.retryAllowance = 2;
  settings.retrySwapInterval = std::chrono::milliseconds(250);
  Start(settings);
  EXPECT_EQ(Inbound().PathName(), "in");
  EXPECT_EQ(status->SmtpServer, "mail.example.org");
  EXPECT_EQ(status->RetryAllowance, 2);
  EXPECT_EQ(timer.interval, std::chrono::milliseconds(250));
}

TEST_F(StartupTest, ShutdownRemovesTrayLogsAndEnds) {
  Start();
  view.calls.clear();
  status->Shutdown();
  EXPECT_EQ(view.calls, (std::vector<std::string>{"RemoveTrayIcon"}));
  EXPECT_EQ(log.entries.back(), (std::pair<std::string, std::string>{"Server Terminated", ""}));
  EXPECT_EQ(ended, 1);
  EXPECT_EQ(notifier.notes,
            (std::vector<std::string>{
                "Ready: Listening; 0 sent, 0 re-queued for retry, 0 dead-lettered", "Stopping"}));
}

}  // namespace
}  // namespace quillpost::relay::testing
