#include "window/tray_icon.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "eventlog/event_log.h"

namespace quillpost::window {
namespace {

TEST(TrayIcon, OnlyALeftDoubleClickShowsTheWindow) {
  StatusWindow window;
  TrayIcon tray(window);
  for (auto reason : {QSystemTrayIcon::Context, QSystemTrayIcon::Trigger,
                      QSystemTrayIcon::MiddleClick, QSystemTrayIcon::Unknown}) {
    emit tray.icon().activated(reason);
    EXPECT_FALSE(window.isVisible()) << "reason " << reason;
  }
  emit tray.icon().activated(QSystemTrayIcon::DoubleClick);
  EXPECT_TRUE(window.isVisible());
}

TEST(TrayClickRule, TwoPlainActivationsCloseTogetherAreADoubleClick) {
  using namespace std::chrono_literals;
  const TrayClickRule::Clock::time_point t0{};
  {
    TrayClickRule rule(400ms);
    EXPECT_FALSE(rule.ShowsWindow(QSystemTrayIcon::Trigger, t0));
    EXPECT_TRUE(rule.ShowsWindow(QSystemTrayIcon::Trigger, t0 + 250ms));
    EXPECT_FALSE(rule.ShowsWindow(QSystemTrayIcon::Trigger, t0 + 300ms))
        << "a third click starts anew";
  }
  {
    TrayClickRule rule(400ms);
    EXPECT_FALSE(rule.ShowsWindow(QSystemTrayIcon::Trigger, t0));
    EXPECT_FALSE(rule.ShowsWindow(QSystemTrayIcon::Trigger, t0 + 600ms)) << "too slow";
    EXPECT_FALSE(rule.ShowsWindow(QSystemTrayIcon::Context, t0 + 700ms));
    EXPECT_FALSE(rule.ShowsWindow(QSystemTrayIcon::Trigger, t0 + 800ms))
        << "a right click in between breaks the pair";
  }
  {
    // An embedding notification area: press, then the double-click itself.
    TrayClickRule rule(400ms);
    EXPECT_FALSE(rule.ShowsWindow(QSystemTrayIcon::Trigger, t0));
    EXPECT_TRUE(rule.ShowsWindow(QSystemTrayIcon::DoubleClick, t0 + 100ms));
    EXPECT_FALSE(rule.ShowsWindow(QSystemTrayIcon::Trigger, t0 + 200ms)) << "shown once only";
  }
}

TEST(TrayIcon, ShowsTheServiceIconAndTip) {
  StatusWindow window;
  TrayIcon tray(window);
  EXPECT_EQ(tray.icon().toolTip(), QStringLiteral("KVR Quillpost.."));
  EXPECT_TRUE(tray.icon().icon().availableSizes().contains(QSize(16, 16)));
  EXPECT_EQ(tray.icon().contextMenu(), nullptr);
}

// The offscreen platform has no notification area, like a bare X server.
TEST(TrayIcon, SaysWhenTheDesktopHasNoNotificationArea) {
  ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
  StatusWindow window;
  TrayIcon tray(window);
  std::vector<std::string> entries;
  eventlog::ScopedSink sink([&](std::string_view text) { entries.emplace_back(text); });
  testing::internal::CaptureStderr();
  tray.Add();
  const std::string stderrText = testing::internal::GetCapturedStderr();
  EXPECT_NE(stderrText.find("no notification area"), std::string::npos) << stderrText;
  ASSERT_EQ(entries.size(), 1U);
  EXPECT_EQ(entries[0], kNoTrayMessage);
  tray.Remove();
  EXPECT_FALSE(tray.IsAdded());
}

}  // namespace
}  // namespace quillpost::window
