#include "program/desktop_loader.h"

#include <cstdio>
#include <string>
#include <system_error>

#include "eventlog/event_log.h"

namespace quillpost::program {
namespace {

bool Named(const char* value) {
  return value != nullptr && value[0] != '\0';
}

void ReportNoWindow(const std::string& why) {
  const std::string text = "quillpost-smtp: " + why + "; running without a window";
  eventlog::ReportError(text);
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

}  // namespace

bool WantsWindow(bool headless, const char* display, const char* waylandDisplay) {
  return !headless && (Named(display) || Named(waylandDisplay));
}

std::filesystem::path WindowModulePath() {
  std::error_code error;
  std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) {
    program = "/proc/self/exe";
  }
  return (program.parent_path() / QUILLPOST_WINDOW_MODULE_FOLDER / window::kDesktopModuleFile)
      .lexically_normal();
}

LoadedDesktop OpenDesktop(const std::filesystem::path& module, int& argc, char** argv) {
  LoadedDesktop loaded;
  const window::DesktopModule* entry = nullptr;
  try {
    // Qt's libraries register exit handlers and are not made to be unloaded:
    // the module stays mapped for the life of the process.
    loaded.module_ = posix::LoadedModule::Open(module, "window module");
    entry = static_cast<const window::DesktopModule*>(
        loaded.module_.Symbol(window::kDesktopModuleSymbol));
  } catch (const posix::ModuleError& error) {
    ReportNoWindow(error.what());
    return {};
  }
  if (entry->version != window::kDesktopModuleVersion) {
    ReportNoWindow("cannot load the window module " + module.string() +
                   " (built for another version of the program)");
    return {};
  }
  loaded.desktop_ = entry->open(argc, argv);
  return loaded;
}

}  // namespace quillpost::program
