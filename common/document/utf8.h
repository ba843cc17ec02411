#pragma once

// UTF-8 decoding and the set of characters XML 1.0 allows, shared by the
// request document's value check and reader and by the relay's log escaping.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quillpost::document {

// Decodes the sequence that starts at text[pos]; returns its length in bytes,
// or 0 when it is not well-formed UTF-8 (overlong, truncated, a surrogate, past
// U+10FFFF, a stray continuation byte).
std::size_t DecodeUtf8(std::string_view text, std::size_t pos, std::uint32_t& codePoint);

// Tab, LF, CR, U+0020..U+D7FF, U+E000..U+FFFD and U+10000..U+10FFFF.
bool IsXmlChar(std::uint32_t codePoint);

}  // namespace quillpost::document
