#include "mail/token_cache.h"

#include <algorithm>

#include "mail/token_command.h"

namespace quillpost::smtp {

TokenCache& TokenCache::Process() {
  static TokenCache cache;
  return cache;
}

std::shared_ptr<TokenCache::Entry> TokenCache::EntryFor(const std::vector<std::string>& command) {
  const std::lock_guard lock(mutex_);
  std::shared_ptr<Entry>& entry = entries_[command];
  if (!entry) {
    entry = std::make_shared<Entry>();
  }
  return entry;
}

std::string TokenCache::Token(const TokenCommandSettings& settings) {
  const std::shared_ptr<Entry> entry = EntryFor(settings.command);
  // Whoever waited here while another ran the command finds its outcome kept.
  const std::lock_guard running(entry->running);
  {
    const std::lock_guard lock(mutex_);
    if (std::chrono::steady_clock::now() < entry->keptUntil) {
      if (entry->failure) {
        throw *entry->failure;
      }
      if (entry->token) {
        return *entry->token;
      }
    }
  }
  std::optional<std::string> token;
  std::optional<SendFailure> failure;
  try {
    token = RunTokenCommand(settings.command, settings.timeout);
  } catch (const SendFailure& caught) {
    failure = caught;
  }
  const std::lock_guard lock(mutex_);
  entry->token = token;
  entry->failure = failure;
  entry->keptUntil =
      std::chrono::steady_clock::now() +
      (failure ? std::min(settings.failureKept, settings.lifetime) : settings.lifetime);
  if (failure) {
    throw *failure;
  }
  return *token;
}

void TokenCache::Refused(const std::vector<std::string>& command, const std::string& token) {
  const std::lock_guard lock(mutex_);
  const auto found = entries_.find(command);
  if (found != entries_.end() && found->second->token == token) {
    found->second->token.reset();
    found->second->keptUntil = {};
  }
}

void TokenCache::Clear() {
  const std::lock_guard lock(mutex_);
  entries_.clear();
}

}  // namespace quillpost::smtp
