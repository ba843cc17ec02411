#pragma once

// A complete message handed over by the submitter, made ready for the DATA
// command without changing what it says: every line ends in CR LF (a lone LF
// or CR included, see message/message_lines.h), the Bcc and Resent-Bcc fields
// are taken out, and the Date and Message-ID fields are put in front when the
// header has none (as a submission server does). Everything else goes out
// byte for byte; libcurl doubles a leading dot on the way.

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "mail/message_text.h"
#include "message/byte_source.h"

namespace quillpost::smtp {

// The Date and Message-ID put in front are date and messageId (a new one when
// empty).
// Throws SendFailure: failure::kLineTooLong when a line is longer than 998
// octets (SMTP cannot carry it, and cutting it would change the message),
// failure::kMessageUnsendable when the message is empty or holds a NUL byte.
std::string PrepareWholeMessage(
    std::string_view given, const std::string& messageIdDomain,
    std::chrono::system_clock::time_point date = std::chrono::system_clock::now(),
    const std::string& messageId = {});

// The same for a message too large to hold, read from given a block at a
// time: checked in one pass before anything is sent, then read again as
// libcurl asks for it (message/sendable_stream.h). Throws SendFailure as
// above, and kInternal when given cannot be read.
MessageText PrepareWholeMessage(std::unique_ptr<message::ByteSource> given,
                                const std::string& messageIdDomain,
                                std::chrono::system_clock::time_point date,
                                const std::string& messageId);

}  // namespace quillpost::smtp
