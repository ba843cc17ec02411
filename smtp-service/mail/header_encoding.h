#pragma once

// Header fields built from caller-supplied values. Every value is either
// checked or encoded, so no value can end its header or start another one.
// Each function returns complete header lines ending in CR LF, folded so that
// no line is longer than 78 octets where the value allows it (never over 998).

#include <string>
#include <string_view>
#include <vector>

namespace quillpost::smtp {

// An unstructured field such as Subject: plain text when it is printable
// ASCII, RFC 2047 encoded words (UTF-8) otherwise. Line breaks and other
// control characters in the value become spaces.
std::string UnstructuredField(std::string_view name, std::string_view value);

// A mailbox field: the display name (quoted or RFC 2047 encoded as needed,
// omitted when empty) followed by the address in angle brackets. The address
// must already have been checked.
std::string MailboxField(std::string_view name, std::string_view displayName,
                         std::string_view address);

// An address list field, the addresses separated by commas.
std::string AddressListField(std::string_view name, const std::vector<std::string>& addresses);

// A parameter of a MIME field, "; name=value" with the leading "; " and any
// folding included: a quoted string when the value is short printable ASCII,
// RFC 2231 (UTF-8, continued over several lines if long) otherwise.
std::string MimeParameter(std::string_view name, std::string_view value);

// The text of a header value with line breaks and control characters turned
// into single spaces and invalid UTF-8 replaced.
std::string SingleLineText(std::string_view value);

}  // namespace quillpost::smtp
