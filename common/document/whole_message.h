#pragma once

// The whole-message element of a request: a complete RFC 5322 message as the
// submitter gave it. XML 1.0 cannot carry every byte a message may hold (NUL,
// most C0 controls), so the message travels base64 encoded (RFC 4648, one
// line, padded).

#include <optional>
#include <string>
#include <string_view>

#include "document/request_reader.h"

namespace quillpost::document {

// The text of the element for message.
std::string EncodeWholeMessage(std::string_view message);

// The message of the first whole-message element, or nothing when the document
// holds none. Throws DocumentError when its text is not base64.
std::optional<std::string> ReadWholeMessage(const RequestReader& request);

}  // namespace quillpost::document
