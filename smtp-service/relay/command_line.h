#pragma once

#include <string>
#include <vector>

#include "relay/setting_keys.h"
#include "relay/settings.h"

namespace quillpost::relay {

struct CommandLine {
  Settings settings;
  bool help = false;
  bool version = false;
};

// Built-in values, then the config file (--config FILE, else DefaultConfigFile()
// when it exists, else kSystemConfigFile when that exists), then the options in
// their order. Throws UsageError.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

std::string UsageText();

}  // namespace quillpost::relay
