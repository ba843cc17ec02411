#pragma once

// Caller-supplied text made fit for a header value before GMime encodes it.

#include <string>
#include <string_view>

namespace quillpost::smtp {

// Every byte sequence that is not valid UTF-8 becomes U+FFFD; NUL bytes stay.
std::string ValidUtf8(std::string_view text);

// The text on one line: line breaks and other control characters become
// single spaces, invalid UTF-8 becomes U+FFFD. No value can then end its
// header or start another one.
std::string SingleLineText(std::string_view value);

// SingleLineText, and when the result holds "=?" (which a reader could take
// for the start of an RFC 2047 encoded word) the whole text as UTF-8 encoded
// words, so that it reads back exactly as given.
std::string HeaderText(std::string_view value);

}  // namespace quillpost::smtp
