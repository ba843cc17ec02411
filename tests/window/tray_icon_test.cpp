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
  for (auto reason : {QSystemTrayIcon::Trigger, QSystemTrayIcon::Context,
                      QSystemTrayIcon::MiddleClick, QSystemTrayIcon::Unknown}) {
    emit tray.icon().activated(reason);
    EXPECT_FALSE(window.isVisible()) << "reason " << reason;
  }
  emit tray.icon().activated(QSystemTrayIcon::DoubleClick);
  EXPECT_TRUE(window.isVisible());
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
  const std::string stderr_text = testing::internal::GetCapturedStderr();
  EXPECT_NE(stderr_text.find("no notification area"), std::string::npos) << stderr_text;
  ASSERT_EQ(entries.size(), 1U);
  EXPECT_EQ(entries[0], kNoTrayMessage);
  tray.Remove();
  EXPECT_FALSE(tray.IsAdded());
}

}  // namespace
}  // namespace quillpost::window
