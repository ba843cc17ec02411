#pragma once

// The settings a config file line ("key = value") or an option
// ("--key-name value") changes; both go through ApplySetting.

#include <string_view>
#include <vector>

#include "smtpd_settings.h"

namespace quillpost::smtpd {

struct SettingKey {
  std::string_view key;       // config file spelling: max_message_size
  std::string_view argument;  // shown in --help: N
  std::string_view help;
};

const std::vector<SettingKey>& SettingKeys();

// Throws UsageError naming the key and what is wrong with the value, or that
// the key is unknown. "listen" adds an address; the others replace.
void ApplySetting(SmtpdSettings& settings, std::string_view key, std::string_view value);

}  // namespace quillpost::smtpd
