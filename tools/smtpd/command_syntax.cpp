#include "command_syntax.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <utility>

namespace quillpost::smtpd {
namespace {

constexpr std::size_t kMaxLocalPart = 64;
constexpr std::size_t kMaxDomain = 255;
constexpr std::size_t kMaxPath = 256;

bool SameLetters(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) ==
                  std::toupper(static_cast<unsigned char>(y));
         });
}

bool StartsWithLetters(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && SameLetters(text.substr(0, prefix.size()), prefix);
}

bool IsAtext(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) ||
         std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos;
}

bool IsDotString(std::string_view text) {
  if (text.empty() || text.front() == '.' || text.back() == '.' ||
      text.find("..") != std::string_view::npos) {
    return false;
  }
  return std::all_of(text.begin(), text.end(), [](char c) { return c == '.' || IsAtext(c); });
}

// "..." with printable ASCII inside and backslash pairs.
bool IsQuotedString(std::string_view text) {
  if (text.size() < 2 || text.front() != '"' || text.back() != '"') {
    return false;
  }
  for (std::size_t i = 1; i + 1 < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c > 0x7e) {
      return false;
    }
    if (c == '\\') {
      if (++i + 1 >= text.size()) {
        return false;
      }
    } else if (c == '"') {
      return false;
    }
  }
  return true;
}

bool IsDomainName(std::string_view domain) {
  if (domain.empty() || domain.size() > kMaxDomain) {
    return false;
  }
  if (domain.front() == '[') {
    // An address literal: [192.0.2.1] or [IPv6:2001:db8::1].
    return domain.size() > 2 && domain.back() == ']' &&
           std::all_of(domain.begin() + 1, domain.end() - 1, [](char c) {
             return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == ':';
           });
  }
  std::size_t start = 0;
  while (start <= domain.size()) {
    const std::size_t dot = std::min(domain.find('.', start), domain.size());
    const std::string_view label = domain.substr(start, dot - start);
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-' ||
        !std::all_of(label.begin(), label.end(), [](char c) {
          return std::isalnum(static_cast<unsigned char>(c)) || c == '-';
        })) {
      return false;
    }
    start = dot + 1;
  }
  return true;
}

// The end of the path that starts at text[0] == '<': the index of its '>',
// skipping quoted parts; npos when there is none.
std::size_t PathEnd(std::string_view text) {
  bool quoted = false;
  for (std::size_t i = 1; i < text.size(); ++i) {
    if (quoted && text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      quoted = !quoted;
    } else if (!quoted && text[i] == '>') {
      return i;
    }
  }
  return std::string_view::npos;
}

bool IsMailbox(std::string_view mailbox) {
  const std::size_t at = mailbox.rfind('@');
  if (at == std::string_view::npos) {
    return false;
  }
  const std::string_view local = mailbox.substr(0, at);
  return local.size() <= kMaxLocalPart && (IsDotString(local) || IsQuotedString(local)) &&
         IsDomainName(mailbox.substr(at + 1));
}

struct PathAndParameters {
  std::string_view path;  // between < and >, source route dropped
  std::string_view parameters;
};

// keyword: "FROM:" or "TO:". Empty with refusal filled when the argument is
// not of the form keyword<path> [parameters].
std::optional<PathAndParameters> SplitPath(std::string_view argument, std::string_view keyword,
                                           std::string_view verb, SyntaxRefusal& refusal) {
  refusal = {501, "5.5.4",
             "Syntax: " + std::string(verb) + " " + std::string(keyword) + "<address>"};
  if (!StartsWithLetters(argument, keyword)) {
    return std::nullopt;
  }
  std::string_view rest = argument.substr(keyword.size());
  // Some clients put a space after the colon; RFC 5321 does not, but nothing
  // is lost by taking it.
  while (!rest.empty() && rest.front() == ' ') {
    rest.remove_prefix(1);
  }
  if (rest.empty() || rest.front() != '<') {
    return std::nullopt;
  }
  const std::size_t end = PathEnd(rest);
  if (end == std::string_view::npos || end > kMaxPath) {
    return std::nullopt;
  }
  PathAndParameters split{rest.substr(1, end - 1), rest.substr(end + 1)};
  if (!split.parameters.empty() && split.parameters.front() != ' ') {
    return std::nullopt;
  }
  if (split.path.starts_with('@')) {
    const std::size_t colon = split.path.find(':');
    if (colon == std::string_view::npos) {
      return std::nullopt;
    }
    split.path.remove_prefix(colon + 1);
  }
  return split;
}

// Calls take(key, value) for each "KEY[=VALUE]" of text, separated by spaces.
template <class Take>
bool EachParameter(std::string_view text, Take&& take) {
  while (!text.empty()) {
    if (text.front() == ' ') {
      text.remove_prefix(1);
      continue;
    }
    const std::size_t end = std::min(text.find(' '), text.size());
    const std::string_view parameter = text.substr(0, end);
    const std::size_t equals = parameter.find('=');
    if (!take(parameter.substr(0, equals), equals == std::string_view::npos
                                               ? std::string_view()
                                               : parameter.substr(equals + 1))) {
      return false;
    }
    text.remove_prefix(end);
  }
  return true;
}

}  // namespace

Command ParseCommand(std::string_view line) {
  static constexpr std::array<std::pair<std::string_view, Verb>, 16> kVerbs{{
      {"EHLO", Verb::Ehlo},
      {"HELO", Verb::Helo},
      {"MAIL", Verb::Mail},
      {"RCPT", Verb::Rcpt},
      {"DATA", Verb::Data},
      {"RSET", Verb::Rset},
      {"NOOP", Verb::Noop},
      {"QUIT", Verb::Quit},
      {"VRFY", Verb::Vrfy},
      {"STARTTLS", Verb::StartTls},
      {"AUTH", Verb::Auth},
      {"HELP", Verb::NotImplemented},
      {"EXPN", Verb::NotImplemented},
      {"TURN", Verb::NotImplemented},
      {"ETRN", Verb::NotImplemented},
      {"BDAT", Verb::NotImplemented},
  }};
  const std::size_t space = std::min(line.find(' '), line.size());
  Command command;
  for (const auto& [name, verb] : kVerbs) {
    if (SameLetters(line.substr(0, space), name)) {
      command.verb = verb;
    }
  }
  if (space < line.size()) {
    std::string_view argument = line.substr(space + 1);
    while (!argument.empty() && argument.back() == ' ') {
      argument.remove_suffix(1);
    }
    command.argument = argument;
  }
  return command;
}

Parsed<MailArguments> ParseMailArguments(std::string_view argument) {
  Parsed<MailArguments> parsed;
  const auto split = SplitPath(argument, "FROM:", "MAIL", parsed.refusal);
  if (!split) {
    return parsed;
  }
  if (!split->path.empty() && !IsMailbox(split->path)) {
    parsed.refusal = {553, "5.1.7", "The sender address is not a valid mailbox"};
    return parsed;
  }
  MailArguments mail{std::string(split->path), std::nullopt, BodyType::SevenBit};
  const bool known = EachParameter(split->parameters, [&](std::string_view key,
                                                          std::string_view value) {
    if (SameLetters(key, "SIZE")) {
      std::uint64_t size = 0;
      const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), size);
      if (value.empty() || value.size() > 20 || error != std::errc() ||
          end != value.data() + value.size()) {
        parsed.refusal = {501, "5.5.4", "SIZE takes a number of octets"};
        return false;
      }
      mail.size = size;
      return true;
    }
    if (SameLetters(key, "BODY")) {
      if (SameLetters(value, "7BIT") || SameLetters(value, "8BITMIME")) {
        mail.body = SameLetters(value, "8BITMIME") ? BodyType::EightBitMime : BodyType::SevenBit;
        return true;
      }
      parsed.refusal = {501, "5.5.4", "BODY takes 7BIT or 8BITMIME"};
      return false;
    }
    parsed.refusal = {555, "5.5.4", "MAIL parameter " + std::string(key) + " is not supported"};
    return false;
  });
  if (known) {
    parsed.value = std::move(mail);
  }
  return parsed;
}

Parsed<std::string> ParseRecipientArgument(std::string_view argument) {
  Parsed<std::string> parsed;
  const auto split = SplitPath(argument, "TO:", "RCPT", parsed.refusal);
  if (!split) {
    return parsed;
  }
  if (!IsMailbox(split->path)) {
    parsed.refusal = {553, "5.1.3", "The recipient address is not a valid mailbox"};
    return parsed;
  }
  if (split->parameters.find_first_not_of(' ') != std::string_view::npos) {
    parsed.refusal = {555, "5.5.4", "RCPT parameters are not supported"};
    return parsed;
  }
  parsed.value = std::string(split->path);
  return parsed;
}

bool IsGreetingDomain(std::string_view domain) {
  return !domain.empty() && domain.size() <= kMaxDomain &&
         std::all_of(domain.begin(), domain.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

}  // namespace quillpost::smtpd
