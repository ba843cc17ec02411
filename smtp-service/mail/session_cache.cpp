#include "mail/session_cache.h"

#include <algorithm>
#include <chrono>

#include "mail/smtp_session.h"

namespace quillpost::smtp {

SessionCache::SessionCache() = default;
SessionCache::~SessionCache() = default;

SessionCache& SessionCache::Process() {
  thread_local SessionCache cache;
  return cache;
}

SmtpSession& SessionCache::SessionFor(const std::string& host, const ConnectionSettings& settings) {
  CloseIdle();
  for (const auto& session : sessions_) {
    if (session->Host() == host && session->Settings() == settings) {
      return *session;
    }
  }
  sessions_.push_back(std::make_unique<SmtpSession>(host, settings));
  return *sessions_.back();
}

void SessionCache::CloseIdle() {
  const auto now = std::chrono::steady_clock::now();
  std::erase_if(sessions_, [now](const std::unique_ptr<SmtpSession>& session) {
    return now - session->LastUsed() >= session->Settings().idleSessionTimeout;
  });
}

std::size_t SessionCache::OpenConnections() const {
  return std::ranges::count_if(sessions_, [](const std::unique_ptr<SmtpSession>& session) {
    return session->ConnectionKept();
  });
}

void SessionCache::CloseAll() {
  sessions_.clear();
}

}  // namespace quillpost::smtp
