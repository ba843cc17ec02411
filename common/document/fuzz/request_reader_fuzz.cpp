// Any text must either parse or raise ParseError; nothing else may escape, and
// First and All must answer consistently on whatever parsed. Whatever parsed,
// written anew as the relay puts a request back on a queue, must read back
// with every value byte for byte the same, and write anew to the same text.
// The same text read as a request too large to hold, its whole message left
// where it lies, must be refused or give the same values, the whole
// message's text in range.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

#include "document/request_reader.h"
#include "document/request_rewrite.h"
#include "document/streamed_request.h"

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

// Reads text as a stored request; the values the reader gave (when it
// accepted the text) must come back the same.
void CheckStreamed(std::string_view text, const doc::RequestReader* accepted) {
  std::optional<doc::StreamedRequest> streamed;
  try {
    streamed = doc::ReadStreamedRequest(text.size(), [&](std::size_t at, char* out, std::size_t n) {
      const std::size_t got = std::min(n, text.size() - at);
      std::memcpy(out, text.data() + at, got);
      return got;
    });
  } catch (const doc::DocumentError&) {
    return;
  }
  if (streamed->wholeMessage &&
      streamed->wholeMessage->offset + streamed->wholeMessage->length > text.size()) {
    std::abort();
  }
  if (accepted == nullptr) {
    return;
  }
  for (const std::string_view tag : kTags) {
    if (tag != doc::kWholeMessageTag && streamed->reader.All(tag) != accepted->All(tag)) {
      std::abort();
    }
  }
  if (streamed->wholeMessage &&
      text.substr(streamed->wholeMessage->offset, streamed->wholeMessage->length) !=
          accepted->First(doc::kWholeMessageTag)) {
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
    CheckStreamed(text, &reader);
  } catch (const doc::ParseError& error) {
    if (error.Offset() > size) {
      std::abort();
    }
    CheckStreamed(text, nullptr);
  }
  return 0;
}
