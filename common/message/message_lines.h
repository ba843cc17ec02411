#pragma once

// The one set of line rules for a whole message, shared by everything that
// reads one (the -t recipients, Bcc removal, the line length check, the relay
// that sends it): a line ends at CR LF, at a lone LF or at a lone CR. A
// receiver that took a lone CR for part of a line while another took it for a
// line end would see two different messages in the same bytes.

#include <cstddef>
#include <string>
#include <string_view>

namespace quillpost::message {

struct Line {
  std::string_view text;  // without its end
  std::string_view end;   // "\r\n", "\n", "\r", or empty for a last line without one

  std::size_t Size() const { return text.size() + end.size(); }
};

// The line that starts at position (which is inside message).
Line LineAt(std::string_view message, std::size_t position);

// text with every line end written as CR LF; a last line without an end
// stays without one.
std::string WithCrlfLines(std::string_view text);

// True when every line end of text is CR LF.
bool HasOnlyCrlfLines(std::string_view text);

}  // namespace quillpost::message
