#pragma once

// The mail request document: the one piece of data that passes from the
// submission library to the relay, carried as one line of XML.

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quillpost::document {

inline constexpr std::string_view kRootTag = "Quillpost-1.0";
inline constexpr std::string_view kRoutingTag = "Routing";
inline constexpr std::string_view kMessageTag = "Message";
inline constexpr std::string_view kAttachmentsTag = "Attachments";
inline constexpr std::string_view kFromTag = "FROM";
inline constexpr std::string_view kFromNameTag = "FROM-NAME";
inline constexpr std::string_view kToTag = "TO";
inline constexpr std::string_view kSubjectTag = "SUBJECT";
inline constexpr std::string_view kBodyTag = "BODY";
inline constexpr std::string_view kFileTag = "FILE";
// Optional, after the three sections: a complete RFC 5322 message as it was
// given, base64 encoded (see whole_message.h).
inline constexpr std::string_view kWholeMessageTag = "WHOLE-MESSAGE";
// Last, written only by the relay: its own section, holding how many tries it
// has made of the request. Read only as a child of the root; values of the
// same names anywhere else mean nothing.
inline constexpr std::string_view kRelayTag = "Relay";
inline constexpr std::string_view kTriesTag = "TRIES";
// Empty, in the relay's section: the sender was told the mail is late.
inline constexpr std::string_view kDelayNoticeTag = "DELAY-NOTICE";

class DocumentError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A text that is not a well-formed document. Offset() is the byte position
// where the parser gave up.
class ParseError : public DocumentError {
 public:
  ParseError(const std::string& what, std::size_t offset) : DocumentError(what), offset_(offset) {}
  std::size_t Offset() const { return offset_; }

 private:
  std::size_t offset_;
};

// A single-valued element that the document does not hold.
class MissingElement : public DocumentError {
 public:
  using DocumentError::DocumentError;
};

// A value that XML 1.0 cannot carry: control characters other than tab, LF and
// CR, U+FFFE, U+FFFF, or bytes that are not well-formed UTF-8.
class InvalidValue : public DocumentError {
 public:
  using DocumentError::DocumentError;
};

// Throws InvalidValue when value holds a character that XML 1.0 cannot carry.
void CheckValue(std::string_view value);

}  // namespace quillpost::document
