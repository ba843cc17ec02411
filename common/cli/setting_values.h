#pragma once

// Reading the values of settings, the same way for every program that takes
// them from a config file or its command line: a bad value is a UsageError
// naming the value, the setting and what was expected.

#include <charconv>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quillpost::cli {

// A bad option, value or config line. The programs exit with code 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void BadSetting(std::string_view key, std::string_view value,
                                    std::string_view why) {
  throw UsageError("bad value '" + std::string(value) + "' for " + std::string(key) + ": " +
                   std::string(why));
}

inline long WholeNumber(std::string_view key, std::string_view value, long lowest, long highest) {
  long number = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (value.empty() || error != std::errc() || end != value.data() + value.size() ||
      number < lowest || number > highest) {
    BadSetting(key, value,
               "expected a whole number from " + std::to_string(lowest) + " to " +
                   std::to_string(highest));
  }
  return number;
}

inline std::string NonEmpty(std::string_view key, std::string_view value) {
  if (value.empty()) {
    BadSetting(key, value, "must not be empty");
  }
  return std::string(value);
}

inline bool YesNo(std::string_view key, std::string_view value) {
  if (value == "yes" || value == "true" || value == "on" || value == "1") {
    return true;
  }
  if (value != "no" && value != "false" && value != "off" && value != "0") {
    BadSetting(key, value, "expected yes or no");
  }
  return false;
}

}  // namespace quillpost::cli
