#pragma once

// Changes to the header of a message as given, byte for byte: what is not
// named here stays exactly as it was. Lines are found as message_lines.h
// says.

#include <cstddef>
#include <string>
#include <string_view>

namespace quillpost::message {

// The longest line SMTP carries, in octets without the line ending.
inline constexpr std::size_t kMaxLineLength = 998;

// The message without the Bcc and Resent-Bcc fields of its header
// (continuation lines included).
std::string WithoutBcc(std::string_view message);

// field (given without a line ending) in front of the message, ended the way
// the message's first line ends (CR LF when it has no end).
std::string WithFieldInFront(std::string_view message, std::string_view field);

// The number (from 1) of the first line longer than kMaxLineLength octets,
// not counting its end; 0 when there is none.
std::size_t FirstLongLine(std::string_view message);

}  // namespace quillpost::message
