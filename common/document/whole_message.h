#pragma once

// The whole-message element of a request: a complete RFC 5322 message as the
// submitter gave it. XML 1.0 cannot carry every byte a message may hold (most
// C0 controls, octets that are not UTF-8), so the message travels base64
// encoded (RFC 4648, one line, padded).

#include <optional>
#include <string>
#include <string_view>

#include "document/request_reader.h"

namespace quillpost::document {

// The text of the element for message.
std::string EncodeWholeMessage(std::string_view message);

// The message of the first whole-message element as message::SendableMessage
// makes it (CR LF lines, no Bcc field), or nothing when the document holds
// none. The library never writes a message it refuses, but a writer may put a
// request straight on the queue. Throws DocumentError when the text is not
// base64 or the message cannot be sent.
std::optional<std::string> ReadWholeMessage(const RequestReader& request);

}  // namespace quillpost::document
