#include "relay/config_file.h"

#include <fstream>
#include <string_view>

#include "cli/config_lines.h"
#include "relay/setting_keys.h"

namespace quillpost::relay {

void ApplyConfigFile(Settings& settings, const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    throw UsageError("cannot read config file " + path);
  }
  ApplyConfigText(settings, in, path);
}

void ApplyConfigText(Settings& settings, std::istream& in, const std::string& path) {
  cli::ReadConfigLines<UsageError>(in, path, [&](std::string_view key, std::string_view value) {
    ApplySetting(settings, key, value);
  });
}

}  // namespace quillpost::relay
