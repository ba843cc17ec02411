#pragma once

// An argument as an error message may show it: the value of an option whose
// name says password is never echoed (it would land in terminals, logs and
// bug reports).

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>

namespace quillpost::cli {

inline bool NamesAPassword(std::string_view name) {
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower.find("password") != std::string::npos;
}

// "--name=value" becomes "--name=(hidden)" when the name says password.
inline std::string ShownArgument(std::string_view argument) {
  const std::size_t equals = argument.find('=');
  if (equals == std::string_view::npos || !NamesAPassword(argument.substr(0, equals))) {
    return std::string(argument);
  }
  return std::string(argument.substr(0, equals)) + "=(hidden)";
}

}  // namespace quillpost::cli
