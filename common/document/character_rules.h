#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quillpost::document::detail {

// The first character of text that XML 1.0 cannot carry: where it stands and
// what it is ("control character U+0001", "invalid UTF-8", ...). Nothing when
// text holds none. The writer refuses such values, and the reader refuses a
// document holding one, so that whatever the reader accepts the writer can
// write back unchanged.
struct Uncarriable {
  std::size_t offset = 0;
  std::string what;
};
std::optional<Uncarriable> FindUncarriable(std::string_view text);

}  // namespace quillpost::document::detail
