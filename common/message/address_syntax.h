#pragma once

// What an SMTP command line can carry: addresses for MAIL FROM and RCPT TO,
// host names for EHLO and the smarthost list. The relay checks every value
// with these before it connects, and sendmail checks the envelope with them
// before it queues a mail, so that a mail the relay would refuse is never
// reported as sent.

#include <string>
#include <string_view>

namespace quillpost::message {

// A mailbox as RFC 5321 allows it in RCPT TO: local-part@domain, where the
// local part is a dot-atom or a quoted string and the domain is a host name
// or an address literal. ASCII only; at most 254 octets.
bool IsValidRecipientAddress(std::string_view address);

// A sender address that can be put in MAIL FROM without changing the command:
// not empty, at most 254 octets, printable ASCII with no space and no angle
// brackets.
bool IsSafeSenderAddress(std::string_view address);

// A host name (letters, digits, hyphens, underscores, dots), an IPv4 address
// or an IPv6 address with or without brackets.
bool IsValidServerName(std::string_view host);

// A name that EHLO can carry: a host name or an address literal in brackets.
bool IsValidEhloName(std::string_view name);

// The domain part of an address, or an empty view when there is none.
std::string_view DomainOf(std::string_view address);

}  // namespace quillpost::message
