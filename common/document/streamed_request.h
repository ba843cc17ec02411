#pragma once

// A request too large to hold in memory whole, read from where it is stored.
// Nearly all of such a request is the text of its whole-message element,
// which the one writer puts there as plain base64 (whole_message.h): the
// document is read by the one reader with that text left out, and the text
// stays where it is, to be decoded while the message is sent
// (whole_message_source.h) and copied where it is when the request moves on.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "document/request_reader.h"

namespace quillpost::document {

// Copies up to length bytes of the stored text from offset on to out and
// returns how many; fewer only at its end.
using ReadAt = std::function<std::size_t(std::size_t offset, char* out, std::size_t length)>;

struct TextRange {
  std::size_t offset = 0;
  std::size_t length = 0;
};

struct StreamedRequest {
  RequestReader reader;  // with an empty whole-message element
  // Where the whole message's base64 text lies in the stored text; nothing
  // when the request has no whole message (it was then read whole).
  std::optional<TextRange> wholeMessage;
};

// Reads the stored text of size bytes. Throws ParseError for what the reader
// refuses, and DocumentError when the whole message's text is not plain
// base64 where the writer puts it (a request that large is only ever
// written by the library).
StreamedRequest ReadStreamedRequest(std::size_t size, const ReadAt& read);

// Where the whole message's text goes in document, a request the one writer
// wrote with an empty whole-message element: the element is written out
// with its end tag, so that the text can go between the two. Nothing when
// the document has no such element.
std::optional<std::size_t> WholeMessageSlot(std::string& document);

}  // namespace quillpost::document
