#include "program/desktop_loader.h"

#include <dlfcn.h>

#include <cstdio>
#include <string>
#include <system_error>

#include "eventlog/event_log.h"

namespace quillpost::program {
namespace {

bool Named(const char* value) {
  return value != nullptr && value[0] != '\0';
}

void ReportNoModule(const std::filesystem::path& module, const std::string& why) {
  const std::string text = "quillpost-smtp: cannot load the window module " + module.string() +
                           " (" + why + "); running without a window";
  eventlog::ReportError(text);
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

std::string LoaderError() {
  const char* error = ::dlerror();
  return error != nullptr ? error : "unknown loader error";
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

void LoadedDesktop::Unload::operator()(void* handle) const {
  ::dlclose(handle);
}

LoadedDesktop OpenDesktop(const std::filesystem::path& module, int& argc, char** argv) {
  LoadedDesktop loaded;
  // Qt's libraries register exit handlers and are not made to be unloaded:
  // once mapped, they stay for the life of the process.
  loaded.module_.reset(::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE));
  if (!loaded.module_) {
    ReportNoModule(module, LoaderError());
    return {};
  }
  const auto* entry = static_cast<const window::DesktopModule*>(
      ::dlsym(loaded.module_.get(), window::kDesktopModuleSymbol));
  if (entry == nullptr) {
    ReportNoModule(module, LoaderError());
    return {};
  }
  if (entry->version != window::kDesktopModuleVersion) {
    ReportNoModule(module, "built for another version of the program");
    return {};
  }
  loaded.desktop_ = entry->open(argc, argv);
  return loaded;
}

}  // namespace quillpost::program
