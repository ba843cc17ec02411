#pragma once

// Base64 for the AUTH exchange (RFC 4954), on OpenSSL's coder.

#include <optional>
#include <string>
#include <string_view>

namespace quillpost::smtpd {

std::string EncodeBase64(std::string_view bytes);
// Empty when text is not base64 (bad characters, length or padding).
std::optional<std::string> DecodeBase64(std::string_view text);

}  // namespace quillpost::smtpd
