#include <gtest/gtest.h>
#include <stdlib.h>

#include <QPushButton>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "eventlog/event_log.h"
#include "queue/queue.h"
#include "relay/file_log_writer.h"
#include "relay/queue_access.h"
#include "relay/status.h"
#include "window/application.h"
#include "window/desktop_status_view.h"

namespace quillpost::window {
namespace {

namespace fs = std::filesystem;

class NoTimer final : public relay::SwapTimer {
 public:
  void SetInterval(std::chrono::milliseconds /*interval*/) override {}
};

// The real store, except that one queue refuses to open.
class StoreWithBrokenQueue final : public relay::QueueAccess {
 public:
  explicit StoreWithBrokenQueue(std::string broken) : broken_(std::move(broken)) {}
  void EnsureExists(const std::string& pathName) override { store_.EnsureExists(pathName); }
  std::unique_ptr<queue::OpenQueue> OpenForReceive(const std::string& pathName) override {
    if (pathName == broken_) {
      throw queue::QueueError("cannot open " + pathName);
    }
    return store_.OpenForReceive(pathName);
  }
  void Send(const std::string& pathName, const queue::Message& message) override {
    store_.Send(pathName, message);
  }

 private:
  relay::StoreQueueAccess store_;
  std::string broken_;
};

fs::path MakeTempFolder() {
  std::string pattern = (fs::temp_directory_path() / "quillpost-desktop-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  return pattern;
}

// Relay services with the desktop view, on a store, a log and a lock of their own.
class DesktopService : public ::testing::Test {
 protected:
  DesktopService() { ::setenv("QUILLPOST_STORE", (folder_ / "store").c_str(), 1); }
  ~DesktopService() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  [[nodiscard]] LockLocation Lock() const { return {folder_ / "quillpost-smtp.lock", {}}; }

  // Builds a service around view and wires Quit and closing to its shutdown.
  std::unique_ptr<relay::Status> Service(DesktopStatusView& view, relay::QueueAccess& queues) {
    relay::Settings settings;
    settings.logFile = LogPath().string();
    auto status = std::make_unique<relay::Status>(
        settings,
        relay::ServiceParts{queues, relay::MailFactory(), log_, timer_, [this] { ++ended_; }});
    status->AttachView(view);
    view.SetShutdown([service = status.get()] { service->Shutdown(); });
    return status;
  }
  std::unique_ptr<relay::Status> Service(DesktopStatusView& view) { return Service(view, store_); }

  [[nodiscard]] fs::path LogPath() const { return folder_ / "kvrsmtp.log"; }
  [[nodiscard]] std::string LogText() const {
    std::ifstream in(LogPath());
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  [[nodiscard]] std::string LastLogLine() const {
    std::ifstream in(LogPath());
    std::string line;
    std::string last;
    while (std::getline(in, line)) {
      last = line;
    }
    return last;
  }
  [[nodiscard]] int LogCount(const std::string& message) const {
    const std::string text = LogText();
    const std::string entry = " - " + message + " - ";
    int count = 0;
    for (auto at = text.find(entry); at != std::string::npos; at = text.find(entry, at + 1)) {
      ++count;
    }
    return count;
  }

  fs::path folder_ = MakeTempFolder();
  relay::StoreQueueAccess store_;
  relay::FileLogWriter log_{LogPath().string()};
  NoTimer timer_;
  int ended_ = 0;
  eventlog::ScopedSink quiet_{[](std::string_view) {}};
};

TEST_F(DesktopService, FirstInstanceAddsTheIconThenEmptiesAndHidesTheWindow) {
  DesktopStatusView view(Lock());
  view.AppendLine("left over");
  view.window().FlushLines();
  auto status = Service(view);
  ASSERT_TRUE(status->Startup());
  view.ShowUnlessHidden();
  EXPECT_TRUE(view.tray().IsAdded());
  view.window().FlushLines();
  EXPECT_EQ(view.window().LineCount(), 0);
  EXPECT_FALSE(view.window().isVisible());
  EXPECT_EQ(LogCount("Server Initialised & Listening"), 1);

  view.AppendLine(
      "SUBJ: Gr\xC3\xBC\xC3\x9F"
      "e");
  view.window().FlushLines();
  EXPECT_EQ(view.window().Line(0), QStringLiteral("SUBJ: Gr\u00FC\u00DFe"));
}

TEST_F(DesktopService, ASecondInstanceRunsWithoutIconAndCompetesForTheQueues) {
  DesktopStatusView firstView(Lock());
  auto first = Service(firstView);
  ASSERT_TRUE(first->Startup());

  DesktopStatusView secondView(Lock());
  auto second = Service(secondView);
  ASSERT_TRUE(second->Startup());
  EXPECT_TRUE(firstView.tray().IsAdded());
  EXPECT_FALSE(secondView.tray().IsAdded());
  EXPECT_TRUE(second->InboundQueue && second->RetryQueueA && second->RetryQueueB);
  EXPECT_FALSE(secondView.window().isVisible());
  EXPECT_EQ(LogCount("Server Initialised & Listening"), 2);

  secondView.window().close();
  EXPECT_TRUE(firstView.tray().IsAdded()) << "the second instance removes no icon of the first";
}

TEST_F(DesktopService, QuitAndClosingTheWindowEndTheService) {
  for (const bool byQuit : {true, false}) {
    SCOPED_TRACE(byQuit ? "Quit" : "close");
    const int endedBefore = ended_;
    DesktopStatusView view(Lock());
    auto status = Service(view);
    ASSERT_TRUE(status->Startup());
    emit view.tray().icon().activated(QSystemTrayIcon::DoubleClick);
    ASSERT_TRUE(view.window().isVisible());
    if (byQuit) {
      view.window().findChild<QPushButton*>(QStringLiteral("cmd_quit"))->click();
    } else {
      view.window().close();
    }
    EXPECT_EQ(ended_, endedBefore + 1);
    EXPECT_FALSE(view.tray().IsAdded());
    EXPECT_EQ(LogCount("Server Terminated"), ended_);
    EXPECT_NE(LastLogLine().find(" - Server Terminated - "), std::string::npos) << LastLogLine();
  }
}

TEST_F(DesktopService, AStartUpThatStopsEarlyLeavesTheWindowOnScreen) {
  StoreWithBrokenQueue queues("kvr_mailer_rB");
  DesktopStatusView view(Lock());
  auto status = Service(view, queues);
  EXPECT_FALSE(status->Startup());
  view.ShowUnlessHidden();
  EXPECT_TRUE(view.window().isVisible());
  EXPECT_TRUE(view.tray().IsAdded());
  EXPECT_EQ(LogCount("Server Initialised & Listening"), 0);
}

TEST(UseWindow, NeedsADisplayThatCanBeReachedAndNoHeadlessOption) {
  const auto reachable = [] { return true; };
  EXPECT_TRUE(UseWindow(false, ":0", nullptr, reachable));
  EXPECT_TRUE(UseWindow(false, nullptr, "wayland-0", reachable));
  EXPECT_FALSE(UseWindow(true, ":0", "wayland-0", reachable));
  EXPECT_FALSE(UseWindow(false, nullptr, nullptr, reachable));
  EXPECT_FALSE(UseWindow(false, "", "", reachable));

  std::vector<std::string> entries;
  const eventlog::ScopedSink sink([&](std::string_view text) { entries.emplace_back(text); });
  testing::internal::CaptureStderr();
  EXPECT_FALSE(UseWindow(false, ":0", nullptr, [] { return false; }));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot open the display :0"),
            std::string::npos);
  EXPECT_EQ(entries.size(), 1U);
}

TEST(UseWindow, ANamedDisplayWithoutServerIsNotReachable) {
  EXPECT_FALSE(DisplayReachable(":65000"));
}

}  // namespace
}  // namespace quillpost::window
