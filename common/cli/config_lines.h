#pragma once

// The programs' config files: "key = value" lines. Blank lines and lines
// starting with '#' are skipped; spaces around key and value are trimmed.

#include <istream>
#include <string>
#include <string_view>

namespace quillpost::cli {

inline std::string_view TrimSpaces(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) {
    return {};
  }
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// Calls apply(key, value) for each setting line of in. A line without '=',
// or an Error that apply throws, becomes an Error naming name and the line
// ("smtpd.conf:3: ..."); a failed read, an Error naming the file.
template <class Error, class Apply>
void ReadConfigLines(std::istream& in, const std::string& name, Apply&& apply) {
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const std::string_view text = TrimSpaces(line);
    if (text.empty() || text.front() == '#') {
      continue;
    }
    const auto equals = text.find('=');
    const std::string where = name + ":" + std::to_string(number) + ": ";
    if (equals == std::string_view::npos) {
      throw Error(where + "expected 'key = value'");
    }
    try {
      apply(TrimSpaces(text.substr(0, equals)), TrimSpaces(text.substr(equals + 1)));
    } catch (const Error& e) {
      throw Error(where + e.what());
    }
  }
  if (in.bad()) {
    throw Error("cannot read config file " + name);
  }
}

}  // namespace quillpost::cli
