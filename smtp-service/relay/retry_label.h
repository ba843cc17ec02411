#pragma once

// Labels of the messages on the relay's queues.

#include <optional>
#include <string>
#include <string_view>

namespace quillpost::relay {

inline constexpr std::string_view kInboundLabel = "Quillpost-Inbound";
inline constexpr std::string_view kRetryLabelStem = "Quillpost-Retry";
inline constexpr std::string_view kRetryLabelPrefix = "Quillpost-Retry:";

// True when label begins with "Quillpost-Retry" (case-sensitive).
bool IsRetryLabel(std::string_view label);

// "Quillpost-Retry:" followed by count in decimal.
std::string MakeRetryLabel(int count);

// The count after the first 16 characters of label (the one in the colon's
// place may be any character), read as a 16-bit signed decimal. Empty when
// there is no such text, it is not a plain decimal number, or it is out of range.
std::optional<int> ReadRetryCount(std::string_view label);

}  // namespace quillpost::relay
