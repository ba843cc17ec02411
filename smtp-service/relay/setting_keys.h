#pragma once

// The settings that a config file line ("key = value") or a command-line
// option ("--key-name value") can change. Both go through ApplySetting.

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "cli/setting_values.h"
#include "relay/settings.h"

namespace quillpost::relay {

// The program's exit codes besides 0.
inline constexpr int kExitBadSettings = 2;
inline constexpr int kExitStartupFailed = 3;

// A bad option, value or config line. The program exits with kExitBadSettings.
using cli::UsageError;

struct SettingKey {
  std::string_view key;       // config file spelling: smtp_port
  std::string_view argument;  // shown in --help: N
  std::string_view help;
  bool optionToo;  // false: config file only (the password itself)
};

const std::vector<SettingKey>& SettingKeys();

// Sets key to value in settings. Throws UsageError naming the key and what is
// wrong with the value, or that the key is unknown.
void ApplySetting(Settings& settings, std::string_view key, std::string_view value);

}  // namespace quillpost::relay
