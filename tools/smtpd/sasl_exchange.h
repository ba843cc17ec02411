#pragma once

// The AUTH command's exchange for PLAIN (RFC 4616) and LOGIN: from the
// command's argument and the client's answers to the user name and password.

#include <chrono>
#include <string>
#include <string_view>

#include "smtp_stream.h"

namespace quillpost::smtpd {

enum class SaslOutcome { Credentials, Cancelled, Malformed, Unsupported };

struct SaslResult {
  SaslOutcome outcome = SaslOutcome::Malformed;
  std::string user;
  std::string password;
  std::string why;  // for Malformed
};

// argument: "PLAIN", "PLAIN <initial response>", "LOGIN", "LOGIN <user>".
// Sends the 334 challenges on stream and reads the answers. Throws what
// the stream throws.
SaslResult RunSaslExchange(std::string_view argument, SmtpStream& stream,
                           std::chrono::milliseconds timeout);

}  // namespace quillpost::smtpd
