#include "posix/loaded_module.h"

#include <dlfcn.h>

#include <utility>

namespace quillpost::posix {
namespace {

std::string LoaderError() {
  const char* error = ::dlerror();
  return error != nullptr ? error : "unknown loader error";
}

}  // namespace

LoadedModule LoadedModule::Open(const std::filesystem::path& path, std::string kind) {
  LoadedModule module;
  module.path_ = path;
  module.kind_ = std::move(kind);
  module.handle_.reset(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE));
  if (!module.handle_) {
    throw ModuleError("cannot load the " + module.kind_ + " " + path.string() + " (" +
                      LoaderError() + ")");
  }
  return module;
}

const void* LoadedModule::Symbol(const char* name) const {
  ::dlerror();
  const void* symbol = ::dlsym(handle_.get(), name);
  if (symbol == nullptr) {
    throw ModuleError("the " + kind_ + " " + path_.string() + " is unusable (" + LoaderError() +
                      ")");
  }
  return symbol;
}

void LoadedModule::Unload::operator()(void* handle) const {
  ::dlclose(handle);
}

std::filesystem::path FolderOfCode(const void* address) {
  Dl_info info{};
  if (::dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
    throw ModuleError("cannot tell which file holds the running code (" + LoaderError() + ")");
  }
  return std::filesystem::absolute(info.dli_fname).parent_path();
}

}  // namespace quillpost::posix
