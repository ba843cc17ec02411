#pragma once

// quillpost-smtpd's command line: --config FILE, --help, --version, and every
// setting as --key-name VALUE (or --key-name=VALUE), applied after the config
// file's.

#include <string>
#include <vector>

#include "smtpd_settings.h"

namespace quillpost::smtpd {

struct CommandLine {
  SmtpdSettings settings;
  bool help = false;
  bool version = false;
};

// Throws UsageError for an unknown option, a missing or bad value, or a bad
// config file. Without --config, reads /etc/quillpost/smtpd.conf when it
// exists.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

std::string HelpText();

}  // namespace quillpost::smtpd
