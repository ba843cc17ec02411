#pragma once

// The relay's view on a desktop: status lines go to the status window, and the
// tray steps of start-up and shutdown work on the tray icon and the
// single-instance lock.

#include <functional>
#include <optional>
#include <string_view>

#include "relay/status_view.h"
#include "window/instance_lock.h"
#include "window/status_window.h"
#include "window/tray_icon.h"

namespace quillpost::window {

class DesktopStatusView final : public relay::StatusView {
 public:
  // `lock` is where the single-instance lock lives; needs a QApplication.
  explicit DesktopStatusView(LockLocation lock = FindLockLocation());

  // What Quit and closing the window run: the service's shutdown.
  void SetShutdown(std::function<void()> shutdown);

  void AppendLine(std::string_view line) override;
  void Clear() override;
  void Hide() override;
  void Show() override;

  // The first desktop instance holds the lock for the rest of its life. When
  // the lock cannot be used, says why and answers that none runs: a second
  // icon is better than none.
  bool AnotherInstanceRunning() override;
  void AddTrayIcon() override;
  void RemoveTrayIcon() override;

  // A start-up that ended before hiding the window leaves it on screen, so the
  // user sees that the service is not listening. Call after start-up.
  void ShowUnlessHidden();

  [[nodiscard]] StatusWindow& window() { return window_; }
  [[nodiscard]] TrayIcon& tray() { return tray_; }

 private:
  StatusWindow window_;
  TrayIcon tray_{window_};
  LockLocation lockLocation_;
  std::optional<InstanceLock> lock_;
  bool hidden_ = false;
};

}  // namespace quillpost::window
