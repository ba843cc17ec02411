#pragma once

// The users who may AUTH, from a file of lines
//
//   user:crypt(3) hash[:sender address, sender address...]
//
// (hashes as `mkpasswd -m yescrypt` writes them; '#' starts a comment line).
// With restrictSenders, a user may give only the senders of its line, or its
// user name when that is an address.

#include <map>
#include <string>
#include <vector>

#include "authenticator.h"

namespace quillpost::smtpd {

class PasswordFile : public Authenticator {
 public:
  // Throws std::runtime_error naming the file, and the line that is bad.
  PasswordFile(const std::string& path, bool restrictSenders);

  bool Check(std::string_view user, std::string_view password) const override;
  bool MaySend(std::string_view user, std::string_view sender) const override;

 private:
  struct Entry {
    std::string hash;
    std::vector<std::string> senders;
  };
  std::map<std::string, Entry, std::less<>> users_;
  bool restrictSenders_;
};

}  // namespace quillpost::smtpd
