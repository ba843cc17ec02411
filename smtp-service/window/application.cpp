#include "window/application.h"

#include <QApplication>
#include <cstdlib>

namespace quillpost::window {
namespace {

bool Named(const char* value) {
  return value != nullptr && value[0] != '\0';
}

}  // namespace

bool UseWindow(bool headless, const char* display, const char* wayland_display) {
  return !headless && (Named(display) || Named(wayland_display));
}

bool UseWindow(bool headless) {
  return UseWindow(headless, std::getenv("DISPLAY"), std::getenv("WAYLAND_DISPLAY"));
}

std::unique_ptr<QCoreApplication> MakeApplication(bool windowed, int& argc, char** argv) {
  if (!windowed) {
    return std::make_unique<QCoreApplication>(argc, argv);
  }
  auto application = std::make_unique<QApplication>(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  return application;
}

}  // namespace quillpost::window
