#pragma once

// The Received: trace field the listener puts in front of each message it
// takes (RFC 5321 section 4.4).

#include <chrono>
#include <string>

namespace quillpost::smtpd {

struct TraceDetails {
  std::string clientGreeting;  // what the client gave in EHLO or HELO
  std::string clientAddress;   // numeric: 192.0.2.1 or 2001:db8::1
  std::string serverName;      // this host's name
  std::string protocol;        // SMTP, ESMTP, ESMTPS, ESMTPSA
  std::string id;              // the listener's id of the message
  std::string recipient;       // named when there is only one, else empty
  std::chrono::system_clock::time_point when;
};

// "Received: from ... by ...; date" with folded lines, each ended by CR LF.
std::string ReceivedField(const TraceDetails& details);

// An RFC 5322 date in local time with its zone: "Tue, 8 Dec 2026 06:10:00 +0100",
// whatever the locale.
std::string MessageDate(std::chrono::system_clock::time_point when);

}  // namespace quillpost::smtpd
