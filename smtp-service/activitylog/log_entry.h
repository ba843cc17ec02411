#pragma once

// The text of one activity log entry.

#include <ctime>
#include <string>
#include <string_view>

namespace quillpost::activitylog {

// Writes text with every byte that could break a line or fool a reader shown
// as an escape: CR as \r, LF as \n, tab as \t, the other C0 controls and DEL as
// \xHH, and the backslash itself as \\, so the escaping can always be undone.
// Well-formed UTF-8 passes unchanged, except the C1 controls (U+0080..U+009F);
// those and every byte that is not part of well-formed UTF-8 are shown as \xHH.
std::string EscapeForLog(std::string_view text);

// The local date and time in the C library's locale: strftime's "%x %X", the
// short date form, a space and the long time form (for example "12/07/26
// 09:41:05" in the "C" locale). The program chooses the locale with setlocale.
std::string FormatLocalTime(std::time_t when);

// One whole line: time, " - ", message, " - ", data, CR LF.
std::string FormatEntry(std::time_t when, std::string_view message, std::string_view data);

}  // namespace quillpost::activitylog
