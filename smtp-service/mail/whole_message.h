#pragma once

// A complete message handed over by the submitter, made ready for the DATA
// command without changing what it says: every line ends in CR LF (a lone LF
// or CR included, see message/message_lines.h), the Bcc and Resent-Bcc fields
// are taken out, and the Date and Message-ID fields are put in front when the
// header has none (as a submission server does). Everything else goes out
// byte for byte; libcurl doubles a leading dot on the way.

#include <chrono>
#include <string>
#include <string_view>

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

}  // namespace quillpost::smtp
