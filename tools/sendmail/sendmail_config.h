#pragma once

// quillpost-sendmail's config file: "key = value" lines
// (common/cli/config_lines.h). Programs run sendmail with their own
// arguments, so what an administrator sets is set here. Without the file
// every setting keeps its default.

#include <cstddef>
#include <optional>
#include <string>

namespace quillpost::sendmail {

inline constexpr const char* kConfigFile = "/etc/quillpost/sendmail.conf";

struct SendmailConfig {
  // max_message_size: the largest message queued, in octets.
  std::optional<std::size_t> maxMessageSize;
};

// $QUILLPOST_SENDMAIL_CONFIG when set and not empty, else kConfigFile.
std::string ConfigPath();

// Reads path; a missing file gives the defaults. largest is the highest
// max_message_size taken. Throws cli::UsageError naming the file and line.
SendmailConfig ReadConfig(const std::string& path, std::size_t largest);

}  // namespace quillpost::sendmail
