#pragma once

// Whether the relay shows a window, and its application object when it does.
// Without a window the program creates no GUI object at all and never loads
// this module, so that it starts where no display server exists.

#include <QApplication>
#include <functional>
#include <memory>

namespace quillpost::window {

// Whether the X display named `display` (nullptr: $DISPLAY) accepts us.
[[nodiscard]] bool DisplayReachable(const char* display);

// True unless told to run headless or there is no display to show a window on:
// none is named (DISPLAY for X11, WAYLAND_DISPLAY for Wayland), or the named
// X display cannot be reached. The last is reported on standard error and in
// the event log, and the relay runs without a window.
[[nodiscard]] bool UseWindow(bool headless, const char* display, const char* waylandDisplay,
                             const std::function<bool()>& displayReachable);
// The same, from this process's environment.
[[nodiscard]] bool UseWindow(bool headless);

// The application object of a relay with a window. argc must outlive it.
// Hiding or closing the window never ends the loop by itself: only the
// service's shutdown does.
[[nodiscard]] std::unique_ptr<QApplication> MakeWindowedApplication(int& argc, char** argv);

}  // namespace quillpost::window
