#pragma once

// OAuth2 access tokens kept between connections, so that the token command
// runs once per token lifetime rather than for every mail. A command that
// failed (or hung until its time-out) is not run again for a while either:
// the mails meanwhile fail at once with the kept failure. One cache serves
// the whole relay; sessions on several threads may share it, and a command
// runs once at a time however many of them wait for its token.

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "mail/outgoing_mail.h"

namespace quillpost::smtp {

struct TokenCommandSettings {
  std::vector<std::string> command;
  std::chrono::seconds timeout{30};
  // How long a token is used before the command is asked again; zero runs
  // the command for every connection.
  std::chrono::seconds lifetime{300};
  // How long a failure of the command is kept (at most the lifetime).
  std::chrono::seconds failureKept{60};
};

class TokenCache {
 public:
  // The cache the relay's sessions share.
  static TokenCache& Process();

  // The kept token of the command, or the one it prints now. Throws the kept
  // failure, or the command's new one (SendFailure).
  std::string Token(const TokenCommandSettings& settings);
  // The server refused token: the command is asked again next time.
  void Refused(const std::vector<std::string>& command, const std::string& token);
  void Clear();

 private:
  struct Entry {
    std::mutex running;  // held while the command runs
    std::optional<std::string> token;
    std::optional<SendFailure> failure;
    std::chrono::steady_clock::time_point keptUntil;
  };
  std::shared_ptr<Entry> EntryFor(const std::vector<std::string>& command);

  std::mutex mutex_;  // guards entries_ and every entry's kept values
  std::map<std::vector<std::string>, std::shared_ptr<Entry>> entries_;
};

}  // namespace quillpost::smtp
