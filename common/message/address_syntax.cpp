#include "message/address_syntax.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>

namespace quillpost::message {
namespace {

constexpr std::size_t kMaxAddressLength = 254;
constexpr std::size_t kMaxLocalPartLength = 64;
constexpr std::size_t kMaxLabelLength = 63;

bool IsAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// RFC 5322 atext.
bool IsAtext(char c) {
  static constexpr std::string_view kSpecials = "!#$%&'*+-/=?^_`{|}~";
  return IsAlpha(c) || IsDigit(c) || kSpecials.find(c) != std::string_view::npos;
}

bool IsDotAtom(std::string_view text) {
  if (text.empty() || text.front() == '.' || text.back() == '.') {
    return false;
  }
  char previous = 0;
  for (char c : text) {
    if (c == '.' ? previous == '.' : !IsAtext(c)) {
      return false;
    }
    previous = c;
  }
  return true;
}

// A quoted string whose content is printable ASCII (quoted pairs allowed).
bool IsQuotedString(std::string_view text) {
  if (text.size() < 2 || text.front() != '"' || text.back() != '"') {
    return false;
  }
  for (std::size_t i = 1; i + 1 < text.size(); ++i) {
    const char c = text[i];
    if (c < 0x20 || c > 0x7e) {
      return false;
    }
    if (c == '\\') {
      ++i;
      if (i + 1 >= text.size() || text[i] < 0x20 || text[i] > 0x7e) {
        return false;
      }
    } else if (c == '"') {
      return false;
    }
  }
  return true;
}

bool IsLabel(std::string_view label, bool allowUnderscore) {
  if (label.empty() || label.size() > kMaxLabelLength || label.front() == '-' ||
      label.back() == '-') {
    return false;
  }
  return std::all_of(label.begin(), label.end(), [&](char c) {
    return IsAlpha(c) || IsDigit(c) || c == '-' || (allowUnderscore && c == '_');
  });
}

bool IsHostName(std::string_view name, bool allowUnderscore) {
  if (name.empty() || name.size() > 253) {
    return false;
  }
  if (name.back() == '.') {
    name.remove_suffix(1);  // a fully qualified name may end in the root dot
  }
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = name.find('.', start);
    if (!IsLabel(name.substr(start, dot - start), allowUnderscore)) {
      return false;
    }
    if (dot == std::string_view::npos) {
      return true;
    }
    start = dot + 1;
  }
}

bool IsIpAddress(std::string_view text, int family) {
  const std::string copy(text);
  std::array<unsigned char, 16> buffer{};
  return inet_pton(family, copy.c_str(), buffer.data()) == 1;
}

// [1.2.3.4] or [IPv6:...]
bool IsAddressLiteral(std::string_view text) {
  if (text.size() < 3 || text.front() != '[' || text.back() != ']') {
    return false;
  }
  const std::string_view inner = text.substr(1, text.size() - 2);
  static constexpr std::string_view kIpv6Tag = "IPv6:";
  if (inner.size() > kIpv6Tag.size() &&
      std::equal(kIpv6Tag.begin(), kIpv6Tag.end(), inner.begin(),
                 [](char a, char b) { return (a | 0x20) == (b | 0x20); })) {
    return IsIpAddress(inner.substr(kIpv6Tag.size()), AF_INET6);
  }
  return IsIpAddress(inner, AF_INET);
}

}  // namespace

bool IsValidRecipientAddress(std::string_view address) {
  if (address.empty() || address.size() > kMaxAddressLength) {
    return false;
  }
  const std::size_t at = address.rfind('@');
  if (at == std::string_view::npos) {
    return false;
  }
  const std::string_view local = address.substr(0, at);
  const std::string_view domain = address.substr(at + 1);
  if (local.size() > kMaxLocalPartLength || !(IsDotAtom(local) || IsQuotedString(local))) {
    return false;
  }
  if (domain.empty() || domain.back() == '.') {
    return false;  // a trailing dot is not allowed in a mailbox's domain
  }
  return IsHostName(domain, false) || IsAddressLiteral(domain);
}

bool IsSafeSenderAddress(std::string_view address) {
  if (address.empty() || address.size() > kMaxAddressLength) {
    return false;
  }
  return std::all_of(address.begin(), address.end(),
                     [](char c) { return c > 0x20 && c < 0x7f && c != '<' && c != '>'; });
}

bool IsValidServerName(std::string_view host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    return IsIpAddress(host.substr(1, host.size() - 2), AF_INET6);
  }
  return IsHostName(host, true) || IsIpAddress(host, AF_INET6);
}

bool IsValidEhloName(std::string_view name) {
  return IsHostName(name, false) || IsAddressLiteral(name);
}

std::string_view DomainOf(std::string_view address) {
  const std::size_t at = address.rfind('@');
  return at == std::string_view::npos ? std::string_view{} : address.substr(at + 1);
}

}  // namespace quillpost::message
