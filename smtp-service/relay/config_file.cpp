#include "relay/config_file.h"

#include <fstream>
#include <string_view>

#include "relay/setting_keys.h"

namespace quillpost::relay {
namespace {

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) {
    return {};
  }
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

}  // namespace

void ApplyConfigFile(Settings& settings, const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    throw UsageError("cannot read config file " + path);
  }
  ApplyConfigText(settings, in, path);
}

void ApplyConfigText(Settings& settings, std::istream& in, const std::string& path) {
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const std::string_view text = Trim(line);
    if (text.empty() || text.front() == '#') {
      continue;
    }
    const auto equals = text.find('=');
    const std::string where = path + ":" + std::to_string(number) + ": ";
    if (equals == std::string_view::npos) {
      throw UsageError(where + "expected 'key = value'");
    }
    try {
      ApplySetting(settings, Trim(text.substr(0, equals)), Trim(text.substr(equals + 1)));
    } catch (const UsageError& e) {
      throw UsageError(where + e.what());
    }
  }
  if (in.bad()) {
    throw UsageError("cannot read config file " + path);
  }
}

}  // namespace quillpost::relay
