// Any text must either parse or raise ParseError; nothing else may escape, and
// First and All must answer consistently on whatever parsed. Whatever parsed,
// written anew as the relay puts a request back on a queue, must read back
// with every value byte for byte the same, and write anew to the same text.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "document/request_reader.h"
#include "document/request_rewrite.h"

namespace {

namespace doc = quillpost::document;

constexpr std::string_view kTags[] = {doc::kFromTag,        doc::kFromNameTag, doc::kToTag,
                                      doc::kSubjectTag,     doc::kBodyTag,     doc::kFileTag,
                                      doc::kWholeMessageTag};

void CheckRewrite(const doc::RequestReader& accepted) {
  const std::string written = doc::RewriteRequest(accepted, {.to = std::nullopt, .tries = 2});
  const doc::RequestReader again(written);
  for (const std::string_view tag : kTags) {
    const auto before = accepted.All(tag);
    const auto after = again.All(tag);
    const bool many = tag == doc::kToTag || tag == doc::kFileTag;
    if (many || before.empty() ? after != before : after.size() != 1 || after[0] != before[0]) {
      std::abort();
    }
  }
  if (again.RelayTries() != 2 ||
      doc::RewriteRequest(again, {.to = std::nullopt, .tries = 2}) != written) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const doc::RequestReader reader(text);
    for (const std::string_view tag : kTags) {
      const auto all = reader.All(tag);
      try {
        if (reader.First(tag) != all.at(0)) {
          std::abort();
        }
      } catch (const doc::MissingElement&) {
        if (!all.empty()) {
          std::abort();
        }
      }
    }
    CheckRewrite(reader);
  } catch (const doc::ParseError& error) {
    if (error.Offset() > size) {
      std::abort();
    }
  }
  return 0;
}
