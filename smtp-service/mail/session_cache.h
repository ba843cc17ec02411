#pragma once

// Open SMTP sessions kept between mails, so that consecutive mails to the same
// relay host share one connection. Each thread that sends has a cache of its
// own; a cache is not thread-safe and is used by its thread alone.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "mail/outgoing_mail.h"

namespace quillpost::smtp {

class SmtpSession;

class SessionCache {
 public:
  SessionCache();
  ~SessionCache();
  SessionCache(const SessionCache&) = delete;
  SessionCache& operator=(const SessionCache&) = delete;

  // The calling thread's cache, which OutgoingMail uses.
  static SessionCache& Process();

  // The session for this host and these settings, opened if there is none.
  // Sessions left idle for longer than their idleSessionTimeout are closed first.
  SmtpSession& SessionFor(const std::string& host, const ConnectionSettings& settings);

  // Ends (with QUIT) every session idle for longer than its idleSessionTimeout.
  // The relay calls this from a timer so that idle sessions do not wait for
  // the next mail to be closed.
  void CloseIdle();
  // Ends every session, e.g. at shutdown.
  void CloseAll();
  std::size_t Size() const { return sessions_.size(); }
  // Sessions whose connection is open, kept from their last mail; a session
  // whose last mail failed has none until its next mail.
  std::size_t OpenConnections() const;

 private:
  std::vector<std::unique_ptr<SmtpSession>> sessions_;
};

}  // namespace quillpost::smtp
