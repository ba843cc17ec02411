#pragma once

// Entries for the system logger, sent over a socket of our own. The library
// lives in the application's process: openlog(3) would replace the
// application's own identifier and facility for every line it writes after
// ours, and there is no way to ask for them back.

#include <ctime>
#include <string>
#include <string_view>

namespace quillpost::eventlog {

// Where the system logger listens.
inline constexpr const char* kSyslogSocket = "/dev/log";

// One entry as syslog(3) writes it (RFC 3164): "<PRI>Mmm dd hh:mm:ss
// ident[pid]: text", the time in local time.
std::string SyslogLine(int priority, std::string_view ident, std::string_view text,
                       std::time_t when);

// Sends one entry under the identifier "quillpost" at LOG_USER | LOG_ERR to
// the logger listening on socketPath (a datagram socket, or a stream one as
// some loggers use). False when it could not be sent; never throws.
bool SendSyslogEntry(const std::string& socketPath, std::string_view text) noexcept;

}  // namespace quillpost::eventlog
