#include "password_file.h"

#include <crypt.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "cli/config_lines.h"

namespace quillpost::smtpd {
namespace {

// A yescrypt setting of libxcrypt's default cost, checked against when the
// user is unknown, so that an unknown user takes as long as a wrong password.
const std::string& StandInSetting() {
  static const std::string setting = [] {
    char text[CRYPT_GENSALT_OUTPUT_SIZE] = {};
    return ::crypt_gensalt_rn("$y$", 0, nullptr, 0, text, sizeof text) != nullptr
               ? std::string(text)
               : std::string();
  }();
  return setting;
}

bool SameAddress(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool HashMatches(const std::string& hash, std::string_view password) {
  auto data = std::make_unique<crypt_data>();
  const std::string given(password);
  const char* computed = ::crypt_r(given.c_str(), hash.c_str(), data.get());
  // crypt_r answers a string starting with '*' for a setting it cannot use.
  return computed != nullptr && computed[0] != '*' &&
         std::string_view(computed).size() == hash.size() &&
         CRYPTO_memcmp(computed, hash.data(), hash.size()) == 0;
}

}  // namespace

PasswordFile::PasswordFile(const std::string& path, bool restrictSenders)
    : restrictSenders_(restrictSenders) {
  std::ifstream in(path);
  if (!in) {
    throw std::runtime_error("cannot read the password file " + path);
  }
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const std::string_view text = cli::TrimSpaces(line);
    if (text.empty() || text.front() == '#') {
      continue;
    }
    const std::size_t first = text.find(':');
    const std::size_t second = first == std::string_view::npos ? first : text.find(':', first + 1);
    const std::string_view user = text.substr(0, first);
    const std::string_view hash = first == std::string_view::npos
                                      ? std::string_view()
                                      : text.substr(first + 1, second - first - 1);
    if (user.empty() || hash.empty() || hash.front() != '$') {
      throw std::runtime_error(path + ":" + std::to_string(number) +
                               ": expected user:hash[:senders], the hash as crypt(3) writes it");
    }
    Entry entry{std::string(hash), {}};
    std::string_view senders = second == std::string_view::npos ? "" : text.substr(second + 1);
    while (!senders.empty()) {
      const std::size_t comma = std::min(senders.find(','), senders.size());
      if (const std::string_view sender = cli::TrimSpaces(senders.substr(0, comma));
          !sender.empty()) {
        entry.senders.emplace_back(sender);
      }
      senders.remove_prefix(std::min(comma + 1, senders.size()));
    }
    users_.insert_or_assign(std::string(user), std::move(entry));
  }
  StandInSetting();
}

bool PasswordFile::Check(std::string_view user, std::string_view password) const {
  const auto found = users_.find(user);
  if (found == users_.end()) {
    if (!StandInSetting().empty()) {
      HashMatches(StandInSetting(), password);
    }
    return false;
  }
  return HashMatches(found->second.hash, password);
}

bool PasswordFile::MaySend(std::string_view user, std::string_view sender) const {
  if (!restrictSenders_) {
    return true;
  }
  const auto found = users_.find(user);
  if (found == users_.end()) {
    return false;
  }
  return SameAddress(user, sender) ||
         std::any_of(found->second.senders.begin(), found->second.senders.end(),
                     [&](const std::string& allowed) { return SameAddress(allowed, sender); });
}

}  // namespace quillpost::smtpd
