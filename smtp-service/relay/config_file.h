#pragma once

#include <istream>
#include <string>

#include "relay/settings.h"

namespace quillpost::relay {

// Reads a config file of "key = value" lines into settings. Blank lines and
// lines starting with '#' are skipped; spaces around key and value are
// trimmed. Throws UsageError naming the file and line of the first bad line,
// or that the file cannot be read.
void ApplyConfigFile(Settings& settings, const std::string& path);

// The same for text already open; name stands for the file in error texts.
void ApplyConfigText(Settings& settings, std::istream& in, const std::string& name);

}  // namespace quillpost::relay
