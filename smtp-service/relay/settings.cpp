#include "relay/settings.h"

#include <cstdlib>
#include <string_view>

namespace quillpost::relay {
namespace {

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

// $xdgVariable, else $HOME/homeRelative; empty when neither is set.
std::string XdgFolder(const char* xdgVariable, std::string_view homeRelative) {
  std::string base = EnvironmentValue(xdgVariable);
  if (base.empty()) {
    const std::string home = EnvironmentValue("HOME");
    if (home.empty()) {
      return {};
    }
    base = home + "/" + std::string(homeRelative);
  }
  return base + "/quillpost";
}

}  // namespace

std::string DefaultStateFolder() {
  return XdgFolder("XDG_STATE_HOME", ".local/state");
}

std::string DefaultLogFile() {
  const std::string folder = DefaultStateFolder();
  return folder.empty() ? std::string("kvrsmtp.log") : folder + "/kvrsmtp.log";
}

std::string DefaultConfigFile() {
  const std::string folder = XdgFolder("XDG_CONFIG_HOME", ".config");
  return folder.empty() ? std::string() : folder + "/smtp.conf";
}

}  // namespace quillpost::relay
