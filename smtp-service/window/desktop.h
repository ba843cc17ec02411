#pragma once

// What the program sees of the window module. The status window, the tray icon
// and the desktop's libraries live in a shared module that the program loads
// only when it will show a window, so that a relay without one never maps a
// GUI library. This header names no Qt type: the program includes it without
// linking the desktop stack.

#include <functional>
#include <memory>

#include "relay/status_view.h"

namespace quillpost::window {

// The application object, the status window, the tray icon and the
// single-instance lock of a relay with a window.
class Desktop {
 public:
  virtual ~Desktop() = default;

  // The view to attach to the service.
  virtual relay::StatusView& View() = 0;
  // What Quit and closing the window run: the service's shutdown.
  virtual void SetShutdown(std::function<void()> shutdown) = 0;
  // A start-up that ended before hiding the window leaves it on screen, so the
  // user sees that the service is not listening. Call after start-up.
  virtual void ShowUnlessHidden() = 0;
  // Runs the window's event loop until the process ends, calling onReady
  // whenever `descriptor` is readable: the relay's own events wait behind it.
  virtual int Run(int descriptor, std::function<void()> onReady) = 0;
};

// The module's one entry, exported as the C symbol kDesktopModuleSymbol.
struct DesktopModule {
  // kDesktopModuleVersion of the program that built the module.
  int version;
  // Opens the desktop: checks the display, creates the application object,
  // the window and the tray icon. Answers null, after saying why on standard
  // error and in the event log, when the display cannot be reached; the relay
  // then runs without a window. argc must outlive the answer.
  std::unique_ptr<Desktop> (*open)(int& argc, char** argv);
};

// Raised whenever DesktopModule or Desktop change, so that a program never
// drives a module built for another layout.
inline constexpr int kDesktopModuleVersion = 1;
inline constexpr const char* kDesktopModuleSymbol = "quillpost_desktop_module";
inline constexpr const char* kDesktopModuleFile = "quillpost-smtp-window.so";

}  // namespace quillpost::window
