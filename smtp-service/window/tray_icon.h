#pragma once

// The service's icon in the desktop's notification area. A left double-click
// on it brings the status window back; single clicks, the right and middle
// buttons and hovering do nothing, and there is no menu.

#include <QSystemTrayIcon>
#include <chrono>
#include <optional>

#include "window/status_window.h"

namespace quillpost::window {

inline constexpr const char* kTrayTip = "KVR Quillpost..";

// Which tray events show the window. A notification area that embeds the icon
// reports a left double-click as such. One that speaks the D-Bus
// StatusNotifier protocol reports each left click as a plain activation, so
// two of those within the double-click interval are a double-click too.
class TrayClickRule {
 public:
  using Clock = std::chrono::steady_clock;
  explicit TrayClickRule(std::chrono::milliseconds doubleClickInterval)
      : interval_(doubleClickInterval) {}

  [[nodiscard]] bool ShowsWindow(QSystemTrayIcon::ActivationReason reason, Clock::time_point now);

 private:
  std::chrono::milliseconds interval_;
  std::optional<Clock::time_point> lastClick_;
};

class TrayIcon {
 public:
  explicit TrayIcon(StatusWindow& window);

  // Puts the icon in the notification area. When the desktop has none, says so
  // on standard error and in the event log: the window, once hidden, cannot be
  // brought back then.
  void Add();
  // Takes the icon away; harmless when it was never added.
  void Remove();
  [[nodiscard]] bool IsAdded() const { return icon_.isVisible(); }
  [[nodiscard]] QSystemTrayIcon& icon() { return icon_; }

  // The tray's event handler.
  void trayicon_Activated(QSystemTrayIcon::ActivationReason reason);

 private:
  StatusWindow& window_;
  TrayClickRule rule_;
  QSystemTrayIcon icon_;
};

// The text reported when the desktop has no notification area.
inline constexpr const char* kNoTrayMessage =
    "KVR Quillpost: the desktop has no notification area, so there is no tray icon; "
    "once the status window is hidden it cannot be shown again.";

}  // namespace quillpost::window
