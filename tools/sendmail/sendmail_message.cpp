#include "sendmail_message.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unordered_set>

#include "activitylog/log_entry.h"
#include "message/address_syntax.h"
#include "message/header_fields.h"
#include "message/message_lines.h"
#include "message/message_summary.h"

namespace quillpost::sendmail {
namespace {

// getline(3)'s buffer, freed at the end.
struct LineBuffer {
  LineBuffer() = default;
  LineBuffer(const LineBuffer&) = delete;
  LineBuffer& operator=(const LineBuffer&) = delete;
  ~LineBuffer() { std::free(data); }

  char* data = nullptr;
  std::size_t capacity = 0;
};

bool IsLoneDot(std::string_view line) {
  if (line.ends_with('\n')) {
    line.remove_suffix(1);
  }
  return line == "." || line == ".\r";
}

// An address as an error message shows it: quoted, control characters escaped.
std::string Shown(std::string_view address) {
  return "\"" + activitylog::EscapeForLog(address) + "\"";
}

// Recipients from the command line are a usage error, those of the message's
// header a fault of the message.
enum class Source { Arguments, Header };

[[noreturn]] void Refuse(Source source, const std::string& why) {
  if (source == Source::Arguments) {
    throw UsageError(why);
  }
  throw MessageError(why);
}

// The recipients in the order first named, each once.
class RecipientList {
 public:
  explicit RecipientList(const LocalIdentity& identity) : identity_(identity) {}

  void Add(std::string address, Source source) {
    if (address.find('@') == std::string::npos) {
      address += "@" + identity_.host;
    }
    if (!message::IsValidRecipientAddress(address)) {
      Refuse(source, "recipient " + Shown(address) + " is not an address mail can be sent to");
    }
    if (seen_.insert(address).second) {
      addresses_.push_back(std::move(address));
    }
  }

  std::vector<std::string> Take() { return std::move(addresses_); }

 private:
  const LocalIdentity& identity_;
  std::unordered_set<std::string> seen_;
  std::vector<std::string> addresses_;
};

// The envelope sender: -f, else the From field's address, else login@host.
std::string SenderOf(const SendmailOptions& options, const message::MessageSummary& summary,
                     const LocalIdentity& identity) {
  const auto checked = [](std::string sender, Source source, const std::string& where) {
    if (!message::IsSafeSenderAddress(sender)) {
      Refuse(source, where + " " + Shown(sender) + " cannot be used as the sender address");
    }
    return sender;
  };
  if (options.sender) {
    return checked(*options.sender, Source::Arguments, "-f");
  }
  if (summary.from) {
    return checked(summary.from->address, Source::Header, "the From address");
  }
  return checked(identity.login + "@" + identity.host, Source::Arguments,
                 "the default sender (give one with -f)");
}

}  // namespace

std::string ReadMessage(std::FILE* in, bool dotEndsInput) {
  std::string message;
  if (!dotEndsInput) {
    std::array<char, 65536> block{};
    for (std::size_t got = 0; (got = std::fread(block.data(), 1, block.size(), in)) > 0;) {
      message.append(block.data(), got);
    }
  } else {
    LineBuffer line;
    for (ssize_t length = 0; (length = ::getline(&line.data, &line.capacity, in)) >= 0;) {
      const std::string_view text(line.data, static_cast<std::size_t>(length));
      if (IsLoneDot(text)) {
        return message;
      }
      message += text;
    }
  }
  if (std::ferror(in) != 0) {
    const int error = errno;
    throw std::runtime_error(error == EBADF ? std::string("standard input is closed")
                                            : "cannot read the message from standard input: " +
                                                  std::string(std::strerror(error)));
  }
  return message;
}

Delivery PlanDelivery(const SendmailOptions& options, std::string given,
                      const LocalIdentity& identity) {
  // The -t recipients, the Bcc removal and the relay all see the same lines.
  std::string message = message::WithCrlfLines(given);
  const message::MessageSummary summary = message::Summarise(message);
  RecipientList recipients(identity);
  for (const std::string& argument : options.recipients) {
    for (std::string& address : message::ParseAddresses(argument)) {
      recipients.Add(std::move(address), Source::Arguments);
    }
  }
  if (options.recipientsFromHeaders) {
    for (const auto* list : {&summary.to, &summary.cc, &summary.bcc}) {
      for (const std::string& address : *list) {
        recipients.Add(address, Source::Header);
      }
    }
  }
  Delivery delivery;
  delivery.recipients = recipients.Take();
  if (delivery.recipients.empty()) {
    throw UsageError(options.recipientsFromHeaders
                         ? "no recipients: the message has no To, Cc or Bcc address"
                         : "no recipients: name them as arguments, or use -t");
  }
  delivery.sender = SenderOf(options, summary, identity);
  if (options.fullName) {
    delivery.senderName = *options.fullName;
  } else if (summary.from) {
    delivery.senderName = summary.from->name;
  }
  delivery.message = summary.hasFrom
                         ? std::move(message)
                         : message::WithFieldInFront(
                               message, message::FromField({delivery.senderName, delivery.sender}));
  return delivery;
}

}  // namespace quillpost::sendmail
