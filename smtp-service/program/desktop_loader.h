#pragma once

// Loads the window module, and with it the desktop's libraries, only when the
// relay will show a window. A relay without one, or one whose window module is
// not installed, runs as it does without a display.

#include <filesystem>
#include <memory>

#include "posix/loaded_module.h"
#include "window/desktop.h"

namespace quillpost::program {

// False when told to run headless or when no display is named (DISPLAY for
// X11, WAYLAND_DISPLAY for Wayland). Whether a named display can be reached is
// asked inside the module.
[[nodiscard]] bool WantsWindow(bool headless, const char* display, const char* waylandDisplay);

// The window module's path: the folder kWindowModuleFolder, relative to the
// folder of the running program. The build tree has the same layout as the
// install tree, so one rule finds it in both.
[[nodiscard]] std::filesystem::path WindowModulePath();

// A desktop and the module whose code it runs on, or nothing when the relay
// shows no window. The module stays loaded for as long as the desktop lives.
class LoadedDesktop {
 public:
  [[nodiscard]] explicit operator bool() const { return desktop_ != nullptr; }
  [[nodiscard]] window::Desktop* operator->() const { return desktop_.get(); }

 private:
  friend LoadedDesktop OpenDesktop(const std::filesystem::path&, int&, char**);

  posix::LoadedModule module_;
  std::unique_ptr<window::Desktop> desktop_;
};

// Loads the module at `module` and opens the desktop. Answers an empty one
// when there is no window to show: the module is missing or unusable (said on
// standard error and in the event log), or it found no display to open.
[[nodiscard]] LoadedDesktop OpenDesktop(const std::filesystem::path& module, int& argc,
                                        char** argv);

}  // namespace quillpost::program
