#pragma once

// A shared module opened with dlopen, for code whose libraries only some
// processes need. A module stays mapped for the rest of the process
// (RTLD_NODELETE): objects and exceptions it made may outlive the handle.

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

namespace quillpost::posix {

// Names the module and the loader's own reason.
class ModuleError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class LoadedModule {
 public:
  // Throws ModuleError when the module is missing or cannot be loaded; its
  // texts call the module kind ("the window module …").
  static LoadedModule Open(const std::filesystem::path& path, std::string kind = "module");

  // The address of the module's symbol name; throws ModuleError when it has
  // none.
  [[nodiscard]] const void* Symbol(const char* name) const;

 private:
  struct Unload {
    void operator()(void* handle) const;
  };
  std::filesystem::path path_;
  std::string kind_;
  std::unique_ptr<void, Unload> handle_;
};

// The folder of the shared library (or program) whose code holds address.
[[nodiscard]] std::filesystem::path FolderOfCode(const void* address);

}  // namespace quillpost::posix
