#include "relay/retry_label.h"

#include <charconv>
#include <cstdint>
#include <limits>

namespace quillpost::relay {

bool IsRetryLabel(std::string_view label) {
  return label.starts_with(kRetryLabelStem);
}

std::string MakeRetryLabel(int count) {
  return std::string(kRetryLabelPrefix) + std::to_string(count);
}

std::optional<int> ReadRetryCount(std::string_view label) {
  if (label.size() <= kRetryLabelPrefix.size()) {
    return std::nullopt;
  }
  const std::string_view digits = label.substr(kRetryLabelPrefix.size());
  int value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) {
    return std::nullopt;
  }
  if (value < std::numeric_limits<std::int16_t>::min() ||
      value > std::numeric_limits<std::int16_t>::max()) {
    return std::nullopt;
  }
  return value;
}

}  // namespace quillpost::relay
