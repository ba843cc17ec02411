#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "document/request_format.h"

namespace quillpost::document {

// Reads a request document the way the relay does: elements are looked up by
// tag name over the whole document, whatever their parent or the root's name.
class RequestReader {
 public:
  // Parses text. Throws ParseError naming the position on malformed input,
  // which includes any character that a value may not hold (see CheckValue):
  // what the reader accepts, the writer can always write back.
  explicit RequestReader(std::string_view text);
  ~RequestReader();
  RequestReader(RequestReader&&) noexcept;
  RequestReader& operator=(RequestReader&&) noexcept;
  RequestReader(const RequestReader&) = delete;
  RequestReader& operator=(const RequestReader&) = delete;

  // Text of the first element named tag in document order (its descendants'
  // character data included, escapes resolved). Throws MissingElement.
  std::string First(std::string_view tag) const;

  // Texts of every element named tag, in document order.
  std::vector<std::string> All(std::string_view tag) const;

  // True when the first element named tag starts ('<') at byte offset of
  // the text read and is a child of the root, which is no value's element:
  // its text is then part of no other value.
  bool FirstStandsAloneAt(std::string_view tag, std::size_t offset) const;

  // The count of tries in the relay's section; nothing when the document has
  // no such section or its count is not a number.
  std::optional<int> RelayTries() const;
  // True when the relay's section says the sender was told the mail is late.
  bool RelayDelayNoticeSent() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillpost::document
