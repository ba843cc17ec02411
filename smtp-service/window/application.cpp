#include "window/application.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <iostream>
#include <string>

#include "eventlog/event_log.h"

namespace quillpost::window {
namespace {

bool Named(const char* value) {
  return value != nullptr && value[0] != '\0';
}

struct XcbDisconnect {
  void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};

}  // namespace

bool DisplayReachable(const char* display) {
  // xcb_connect never answers null: a failed connection carries its error.
  const std::unique_ptr<xcb_connection_t, XcbDisconnect> connection(xcb_connect(display, nullptr));
  return xcb_connection_has_error(connection.get()) == 0;
}

bool UseWindow(bool headless, const char* display, const char* waylandDisplay,
               const std::function<bool()>& displayReachable) {
  if (headless) {
    return false;
  }
  if (Named(waylandDisplay)) {
    return true;
  }
  if (!Named(display)) {
    return false;
  }
  if (displayReachable()) {
    return true;
  }
  const std::string text = std::string("quillpost-smtp: cannot open the display ") + display +
                           "; running without a window";
  eventlog::ReportError(text);
  std::cerr << text << '\n' << std::flush;
  return false;
}

bool UseWindow(bool headless) {
  const char* display = std::getenv("DISPLAY");
  return UseWindow(headless, display, std::getenv("WAYLAND_DISPLAY"),
                   [display] { return DisplayReachable(display); });
}

std::unique_ptr<QApplication> MakeWindowedApplication(int& argc, char** argv) {
  auto application = std::make_unique<QApplication>(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  return application;
}

}  // namespace quillpost::window
