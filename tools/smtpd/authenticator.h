#pragma once

// Who may authenticate, and which senders each may give (password_file.h).

#include <string_view>

namespace quillpost::smtpd {

class Authenticator {
 public:
  virtual ~Authenticator() = default;
  // True when password is user's.
  virtual bool Check(std::string_view user, std::string_view password) const = 0;
  // True when user may give sender in MAIL FROM.
  virtual bool MaySend(std::string_view user, std::string_view sender) const = 0;
};

}  // namespace quillpost::smtpd
