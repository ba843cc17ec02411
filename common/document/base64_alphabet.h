#pragma once

// The characters a whole message's base64 text is made of. GLib's decoder
// skips what it does not know, so the readers check the text against them
// first: a damaged text fails instead of sending a damaged message.

namespace quillpost::document::detail {

inline bool IsBase64Digit(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

}  // namespace quillpost::document::detail
