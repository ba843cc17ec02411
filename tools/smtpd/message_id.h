#pragma once

// The listener's name for a message it takes: 16 random hex digits, given in
// the 250 reply, the Received: field and the mail log line, so that one can
// be found from the other.

#include <string>

namespace quillpost::smtpd {

std::string NewMessageId();

}  // namespace quillpost::smtpd
