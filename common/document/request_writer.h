#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "document/request_format.h"

namespace quillpost::document {

// Builds a request document the way the submission library does, call by call.
// A fresh writer holds the root with its three empty sections.
class RequestWriter {
 public:
  enum class Section { Routing, Message, Attachments };

  RequestWriter();
  ~RequestWriter();
  RequestWriter(RequestWriter&&) noexcept;
  RequestWriter& operator=(RequestWriter&&) noexcept;
  RequestWriter(const RequestWriter&) = delete;
  RequestWriter& operator=(const RequestWriter&) = delete;

  // Appends <tag>value</tag> as the last child of section. Throws InvalidValue
  // (and appends nothing) when value cannot be carried.
  void Append(Section section, std::string_view tag, std::string_view value);

  // Appends <tag>value</tag> as the last child of the root, after the three
  // sections. Throws InvalidValue (and appends nothing) when value cannot be
  // carried.
  void AppendAfterSections(std::string_view tag, std::string_view value);

  // Writes the relay's section, last in the root, with its count of tries
  // and whether the sender was told the mail is late.
  void SetRelayTries(int tries, bool delayNoticeSent = false);

  // Replaces the text of the first element named tag anywhere in the document.
  // Returns false when there is none. Throws InvalidValue (and changes nothing)
  // when value cannot be carried.
  bool SetFirst(std::string_view tag, std::string_view value);

  // Number of elements named tag anywhere in the document.
  std::size_t Count(std::string_view tag) const;

  // The whole document as one line, with & and < escaped.
  std::string Serialize() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillpost::document
