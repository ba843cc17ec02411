#include "sendmail_config.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "cli/config_lines.h"
#include "cli/setting_values.h"

namespace quillpost::sendmail {

std::string ConfigPath() {
  const char* path = std::getenv("QUILLPOST_SENDMAIL_CONFIG");
  return path != nullptr && *path != '\0' ? path : kConfigFile;
}

SendmailConfig ReadConfig(const std::string& path, std::size_t largest) {
  SendmailConfig config;
  std::ifstream in(path);
  if (!in) {
    if (errno == ENOENT) {
      return config;
    }
    throw cli::UsageError("cannot read config file " + path + ": " + std::strerror(errno));
  }
  cli::ReadConfigLines<cli::UsageError>(
      in, path, [&](std::string_view key, std::string_view value) {
        if (key != "max_message_size") {
          throw cli::UsageError("unknown setting '" + std::string(key) + "'");
        }
        config.maxMessageSize = static_cast<std::size_t>(
            cli::WholeNumber(key, value, 1024, static_cast<long>(largest)));
      });
  return config;
}

}  // namespace quillpost::sendmail
