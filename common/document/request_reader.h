#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "document/request_format.h"

namespace quillpost::document {

// Reads a request document the way the relay does: elements are looked up by
// tag name over the whole document, whatever their parent or the root's name.
class RequestReader {
 public:
  // Parses text. Throws ParseError naming the position on malformed input.
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

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillpost::document
