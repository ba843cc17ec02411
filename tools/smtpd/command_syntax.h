#pragma once

// Reading the command lines of an SMTP client (RFC 5321 section 4.1): the
// verb, and the paths and parameters of MAIL and RCPT. Hand-written: no kept
// library parses the server side of SMTP.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillpost::smtpd {

enum class Verb {
  Ehlo,
  Helo,
  Mail,
  Rcpt,
  Data,
  Rset,
  Noop,
  Quit,
  Vrfy,
  StartTls,
  Auth,
  NotImplemented,  // known to SMTP but not offered here: HELP, EXPN, TURN, ETRN, BDAT
  Unknown
};

struct Command {
  Verb verb = Verb::Unknown;
  std::string argument;  // what follows the verb and one space, trailing spaces removed
};

// line is without its CR LF. Verbs are case-insensitive.
Command ParseCommand(std::string_view line);

enum class BodyType { SevenBit, EightBitMime };

// MAIL FROM:<path> [SIZE=n] [BODY=7BIT|8BITMIME]
struct MailArguments {
  std::string sender;  // empty for the null path <>
  std::optional<std::uint64_t> size;
  BodyType body = BodyType::SevenBit;
};

// A refusal of an argument: the reply's code, enhanced code and text.
struct SyntaxRefusal {
  int code = 501;
  std::string_view enhanced = "5.5.4";
  std::string text;
};

// Either the arguments or why they are refused.
template <class T>
struct Parsed {
  std::optional<T> value;
  SyntaxRefusal refusal;
};

// argument is Command::argument of MAIL ("FROM:<ann@example.org> SIZE=200").
Parsed<MailArguments> ParseMailArguments(std::string_view argument);

// argument is Command::argument of RCPT ("TO:<bob@example.org>"); the value is
// the address. A source route (<@a,@b:bob@example.org>) is dropped.
Parsed<std::string> ParseRecipientArgument(std::string_view argument);

// True when domain is a host name or an address literal a client may give in
// EHLO or HELO: printable ASCII without spaces, 1 to 255 octets.
bool IsGreetingDomain(std::string_view domain);

}  // namespace quillpost::smtpd
