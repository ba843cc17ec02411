#pragma once

// The service's icon in the desktop's notification area. A left double-click
// on it brings the status window back; single clicks, the right and middle
// buttons and hovering do nothing, and there is no menu.

#include <QSystemTrayIcon>

#include "window/status_window.h"

namespace quillpost::window {

inline constexpr const char* kTrayTip = "KVR Quillpost..";

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
  QSystemTrayIcon icon_;
};

// True only for the event that shows the window: a left double-click.
[[nodiscard]] constexpr bool ShowsWindow(QSystemTrayIcon::ActivationReason reason) {
  return reason == QSystemTrayIcon::DoubleClick;
}

// The text reported when the desktop has no notification area.
inline constexpr const char* kNoTrayMessage =
    "KVR Quillpost: the desktop has no notification area, so there is no tray icon; "
    "once the status window is hidden it cannot be shown again.";

}  // namespace quillpost::window
