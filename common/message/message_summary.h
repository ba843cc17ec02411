#pragma once

// What the submission side needs to know of a complete RFC 5322 message: the
// sender, the recipients named in its headers, the subject and the readable
// text, as GMime parses them.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillpost::message {

struct Mailbox {
  std::string name;  // display name, decoded; empty when there is none
  std::string address;
};

struct MessageSummary {
  bool hasFrom = false;         // the message has a From field
  std::optional<Mailbox> from;  // its first mailbox, when it names one
  std::vector<std::string> to;  // addresses; groups are flattened
  std::vector<std::string> cc;
  std::vector<std::string> bcc;
  // Subject and text are decoded to UTF-8 and hold only characters a request
  // document can carry (anything else is U+FFFD).
  std::string subject;
  std::string text;  // the body's text part ("" when it has none)
};

// GMime parses whatever it is given; the summary of a message without headers
// is empty.
MessageSummary Summarise(std::string_view message);

// The addresses of an address list as a sender program passes recipients:
// "bob@example.org", "Bob <bob@example.org>, cy@example.org", a group.
std::vector<std::string> ParseAddresses(std::string_view list);

// "From: Name <address>", encoded as RFC 2047 asks when the name needs it;
// without a line ending.
std::string FromField(const Mailbox& mailbox);

}  // namespace quillpost::message
