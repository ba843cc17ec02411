#include "sasl_exchange.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "base64_text.h"

namespace quillpost::smtpd {
namespace {

SaslResult Malformed(std::string why) {
  return {SaslOutcome::Malformed, {}, {}, std::move(why)};
}

// The client's answer to a 334 challenge, decoded; "*" cancels.
std::optional<std::string> Answer(std::string_view challenge, SmtpStream& stream,
                                  std::chrono::milliseconds timeout, SaslOutcome& outcome) {
  stream.Reply("334 " + EncodeBase64(challenge));
  const std::optional<Line> line = stream.ReadLine(timeout);
  if (!line || line->tooLong) {
    outcome = SaslOutcome::Malformed;
    return std::nullopt;
  }
  if (line->text == "*") {
    outcome = SaslOutcome::Cancelled;
    return std::nullopt;
  }
  std::optional<std::string> decoded = DecodeBase64(line->text);
  if (!decoded) {
    outcome = SaslOutcome::Malformed;
  }
  return decoded;
}

// "=" is an empty initial response (RFC 4954 section 4).
std::optional<std::string> InitialResponse(std::string_view text) {
  return text == "=" ? std::optional<std::string>("") : DecodeBase64(text);
}

SaslResult Plain(std::string_view initial, SmtpStream& stream, std::chrono::milliseconds timeout) {
  SaslOutcome outcome = SaslOutcome::Malformed;
  const std::optional<std::string> message =
      initial.empty() ? Answer("", stream, timeout, outcome) : InitialResponse(initial);
  if (!message) {
    return outcome == SaslOutcome::Cancelled ? SaslResult{SaslOutcome::Cancelled, {}, {}, {}}
                                             : Malformed("The PLAIN answer is not base64");
  }
  // authorisation identity NUL user NUL password
  const std::size_t first = message->find('\0');
  const std::size_t second =
      first == std::string::npos ? std::string::npos : message->find('\0', first + 1);
  if (second == std::string::npos || message->find('\0', second + 1) != std::string::npos) {
    return Malformed("The PLAIN answer is not identity, user and password");
  }
  const std::string identity = message->substr(0, first);
  SaslResult result{SaslOutcome::Credentials,
                    message->substr(first + 1, second - first - 1),
                    message->substr(second + 1),
                    {}};
  if (!identity.empty() && identity != result.user) {
    // Acting for another user is not offered: such credentials never pass.
    result.user = identity + "\n";
  }
  return result;
}

SaslResult Login(std::string_view initial, SmtpStream& stream, std::chrono::milliseconds timeout) {
  SaslOutcome outcome = SaslOutcome::Malformed;
  std::optional<std::string> user =
      initial.empty() ? Answer("Username:", stream, timeout, outcome) : InitialResponse(initial);
  if (!user) {
    return outcome == SaslOutcome::Cancelled ? SaslResult{SaslOutcome::Cancelled, {}, {}, {}}
                                             : Malformed("The user name is not base64");
  }
  std::optional<std::string> password = Answer("Password:", stream, timeout, outcome);
  if (!password) {
    return outcome == SaslOutcome::Cancelled ? SaslResult{SaslOutcome::Cancelled, {}, {}, {}}
                                             : Malformed("The password is not base64");
  }
  return {SaslOutcome::Credentials, std::move(*user), std::move(*password), {}};
}

}  // namespace

SaslResult RunSaslExchange(std::string_view argument, SmtpStream& stream,
                           std::chrono::milliseconds timeout) {
  const std::size_t space = std::min(argument.find(' '), argument.size());
  std::string mechanism(argument.substr(0, space));
  std::transform(mechanism.begin(), mechanism.end(), mechanism.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  const std::string_view initial =
      space < argument.size() ? argument.substr(space + 1) : std::string_view();
  if (mechanism == "PLAIN") {
    return Plain(initial, stream, timeout);
  }
  if (mechanism == "LOGIN") {
    return Login(initial, stream, timeout);
  }
  return {SaslOutcome::Unsupported, {}, {}, {}};
}

}  // namespace quillpost::smtpd
