// Any text must either parse or raise ParseError; nothing else may escape, and
// First and All must answer consistently on whatever parsed.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "document/request_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const quillpost::document::RequestReader reader(text);
    for (const std::string_view tag :
         {quillpost::document::kFromTag, quillpost::document::kToTag, quillpost::document::kBodyTag,
          quillpost::document::kFileTag}) {
      const auto all = reader.All(tag);
      try {
        if (reader.First(tag) != all.at(0)) {
          std::abort();
        }
      } catch (const quillpost::document::MissingElement&) {
        if (!all.empty()) {
          std::abort();
        }
      }
    }
  } catch (const quillpost::document::ParseError& error) {
    if (error.Offset() > size) {
      std::abort();
    }
  }
  return 0;
}
