#pragma once

// The mail log: one line per accepted message, in the system log with
// facility mail (as the relay writes its own), or on standard error:
//
//   quillpost/smtpd[PID]: from=<ann@example.org>, to=<bob@example.net>, size=1234,
//       id=3F2A9C01D4E5B6A7, client=[127.0.0.1]

#include <string>

#include "session_observer.h"
#include "smtpd_settings.h"

namespace quillpost::smtpd {

std::string FormatMailLogLine(const QueuedMessage& message);

// Writes one line. Never throws.
void WriteMailLog(MailLogTarget target, const QueuedMessage& message) noexcept;

}  // namespace quillpost::smtpd
