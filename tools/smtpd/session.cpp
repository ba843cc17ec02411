#include "session.h"

#include <algorithm>
#include <vector>

#include "authenticator.h"
#include "message_collector.h"
#include "message_id.h"
#include "received_field.h"
#include "sasl_exchange.h"

namespace quillpost::smtpd {
namespace {

// Command lines are ASCII; anything else (a NUL, a bare CR or LF, 8-bit
// octets) is a client or a sender that should not be trusted with more.
bool IsPrintableAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= 0x20 && c < 0x7f) || c == '\t'; });
}

}  // namespace

Session::Session(std::unique_ptr<Transport> transport, SessionLimits limits, ClientInfo client,
                 SessionSecurity security, MessageSink& sink, SessionObserver& observer)
    : stream_(std::move(transport)),
      limits_(std::move(limits)),
      client_(std::move(client)),
      security_(std::move(security)),
      sink_(sink),
      observer_(observer) {}

void Session::Run() {
  try {
    stream_.Reply("220 " + limits_.serverName + " ESMTP quillpost-smtpd ready");
    for (;;) {
      const std::optional<Line> line = stream_.ReadLine(limits_.commandTimeout);
      if (!line) {
        return;
      }
      Next next = Next::Continue;
      if (line->tooLong) {
        next =
            Misplaced("500 5.5.2 Line too long: a line holds at most 1,000 octets with its CR LF");
      } else if (!IsPrintableAscii(line->text)) {
        next = Misplaced("500 5.5.2 The command line holds octets other than printable ASCII");
      } else {
        next = Handle(ParseCommand(line->text));
      }
      if (next == Next::Close) {
        stream_.Flush(limits_.commandTimeout);
        return;
      }
    }
  } catch (const TransportTimeout&) {
    observer_.Refused(Refusal::Timeout);
    try {
      stream_.Reply("421 4.4.2 " + limits_.serverName + " Time-out: closing the connection");
      stream_.Flush(std::chrono::seconds(5));
    } catch (const TransportError&) {
    }
  } catch (const TransportError&) {
    // The client went away; nothing of a message under way was queued.
  }
}

Session::Next Session::Handle(const Command& command) {
  switch (command.verb) {
    case Verb::Ehlo:
      return Greet(command, true);
    case Verb::Helo:
      return Greet(command, false);
    case Verb::Mail:
      return Mail(command);
    case Verb::Rcpt:
      return Recipient(command);
    case Verb::Data:
      return Data();
    case Verb::Rset:
      ResetTransaction();
      Reply(250, "2.0.0", "Ok");
      return Next::Continue;
    case Verb::Noop:
      Reply(250, "2.0.0", "Ok");
      return Next::Continue;
    case Verb::Quit:
      Reply(221, "2.0.0", limits_.serverName + " closing the connection");
      return Next::Close;
    case Verb::Vrfy:
      Reply(252, "2.5.0", "Addresses are not checked here; send the mail and the relay will try");
      return Next::Continue;
    case Verb::StartTls:
      return StartTls();
    case Verb::Auth:
      return Auth(command);
    case Verb::NotImplemented:
      return Misplaced("502 5.5.1 Command not implemented");
    case Verb::Unknown:
      break;
  }
  return Misplaced("500 5.5.2 Command not recognised");
}

Session::Next Session::Misplaced(std::string_view text) {
  observer_.Refused(Refusal::Protocol);
  stream_.Reply(text);
  if (++errors_ >= limits_.maxErrors) {
    stream_.Reply("421 4.7.0 " + limits_.serverName + " Too many errors: closing the connection");
    return Next::Close;
  }
  return Next::Continue;
}

void Session::Reply(int code, std::string_view enhanced, std::string_view text) {
  stream_.Reply(std::to_string(code) + " " + std::string(enhanced) + " " + std::string(text));
}

void Session::ResetTransaction() {
  envelope_.reset();
}

bool Session::MaySubmit() const {
  return client_.mayRelay || user_.has_value();
}

std::string Session::Protocol() const {
  std::string protocol = extended_ ? "ESMTP" : "SMTP";
  if (tls_) {
    protocol += "S";
  }
  if (user_) {
    protocol += "A";
  }
  return protocol;
}

Session::Next Session::Greet(const Command& command, bool extended) {
  if (!IsGreetingDomain(command.argument)) {
    return Misplaced(std::string(extended ? "501 5.5.4 Syntax: EHLO" : "501 5.5.4 Syntax: HELO") +
                     " followed by your host name or address literal");
  }
  ResetTransaction();
  greeting_ = command.argument;
  extended_ = extended;
  if (!extended) {
    stream_.Reply("250 " + limits_.serverName);
    return Next::Continue;
  }
  std::vector<std::string> lines{limits_.serverName + " greets " + greeting_, "PIPELINING",
                                 "SIZE " + std::to_string(limits_.maxMessageSize), "8BITMIME",
                                 "ENHANCEDSTATUSCODES"};
  if (security_.startTls && !tls_) {
    lines.emplace_back("STARTTLS");
  }
  if (security_.authenticator != nullptr && tls_ && !user_) {
    lines.emplace_back("AUTH PLAIN LOGIN");
  }
  for (std::size_t i = 0; i < lines.size(); ++i) {
    stream_.Reply((i + 1 < lines.size() ? "250-" : "250 ") + lines[i]);
  }
  return Next::Continue;
}

Session::Next Session::Mail(const Command& command) {
  if (greeting_.empty()) {
    return Misplaced("503 5.5.1 Send EHLO or HELO first");
  }
  if (envelope_) {
    return Misplaced("503 5.5.1 The sender is already given; RSET to start again");
  }
  if (!MaySubmit()) {
    observer_.Refused(Refusal::NotPermitted);
    if (security_.authenticator != nullptr && tls_) {
      Reply(530, "5.7.0", "Authentication required");
    } else if (security_.authenticator != nullptr) {
      Reply(530, "5.7.0", "Must issue a STARTTLS command first, then authenticate");
    } else {
      Reply(550, "5.7.1", "Submission from [" + client_.address + "] is not permitted");
    }
    return Next::Continue;
  }
  const Parsed<MailArguments> parsed = ParseMailArguments(command.argument);
  if (!parsed.value) {
    return Misplaced(std::to_string(parsed.refusal.code) + " " +
                     std::string(parsed.refusal.enhanced) + " " + parsed.refusal.text);
  }
  const MailArguments& mail = *parsed.value;
  if (mail.sender.empty()) {
    Reply(553, "5.1.7", "The null sender <> is not accepted for relaying");
    return Next::Continue;
  }
  if (mail.size && *mail.size > limits_.maxMessageSize) {
    observer_.Refused(Refusal::TooLarge);
    Reply(
        552, "5.3.4",
        "Message size exceeds the limit of " + std::to_string(limits_.maxMessageSize) + " octets");
    return Next::Continue;
  }
  if (user_ && !security_.authenticator->MaySend(*user_, mail.sender)) {
    observer_.Refused(Refusal::NotPermitted);
    Reply(553, "5.7.1", "Sender <" + mail.sender + "> is not yours to use");
    return Next::Continue;
  }
  envelope_ = Envelope{mail.sender, {}};
  Reply(250, "2.1.0", "Sender <" + mail.sender + "> ok");
  return Next::Continue;
}

Session::Next Session::Recipient(const Command& command) {
  if (!envelope_) {
    return Misplaced("503 5.5.1 Need MAIL before RCPT");
  }
  const Parsed<std::string> parsed = ParseRecipientArgument(command.argument);
  if (!parsed.value) {
    return Misplaced(std::to_string(parsed.refusal.code) + " " +
                     std::string(parsed.refusal.enhanced) + " " + parsed.refusal.text);
  }
  if (static_cast<int>(envelope_->recipients.size()) >= limits_.maxRecipients) {
    // RFC 5321 section 4.5.3.1.10: the client sends the rest in another
    // transaction.
    observer_.Refused(Refusal::TooManyRecipients);
    Reply(452, "4.5.3",
          "Too many recipients: at most " + std::to_string(limits_.maxRecipients) + " per message");
    return Next::Continue;
  }
  envelope_->recipients.push_back(*parsed.value);
  Reply(250, "2.1.5", "Recipient <" + *parsed.value + "> ok");
  return Next::Continue;
}

Session::Next Session::Data() {
  if (!envelope_) {
    return Misplaced("503 5.5.1 Need MAIL and RCPT before DATA");
  }
  if (envelope_->recipients.empty()) {
    return Misplaced("554 5.5.1 No valid recipients");
  }
  stream_.Reply("354 End data with <CR><LF>.<CR><LF>");
  MessageCollector collector(limits_.maxMessageSize);
  for (;;) {
    const std::optional<Line> line = stream_.ReadLine(limits_.dataTimeout);
    if (!line) {
      // The client went away before the end: nothing is queued.
      return Next::Close;
    }
    if (!collector.Add(line->text, line->tooLong)) {
      break;
    }
  }
  switch (collector.Fault()) {
    case MessageFault::TooLarge:
      observer_.Refused(Refusal::TooLarge);
      ResetTransaction();
      Reply(552, "5.3.4",
            "Message size exceeds the limit of " + std::to_string(limits_.maxMessageSize) +
                " octets: closing the connection");
      return Next::Close;
    case MessageFault::LongLine:
      observer_.Refused(Refusal::BadMessage);
      ResetTransaction();
      Reply(554, "5.6.0", "Message refused: a line is longer than 998 octets");
      return Next::Continue;
    case MessageFault::BareLineEnd:
      observer_.Refused(Refusal::BadMessage);
      ResetTransaction();
      Reply(554, "5.6.0",
            "Message refused: it holds a bare CR or LF; every line must end with CR LF");
      return Next::Continue;
    case MessageFault::None:
      break;
  }
  return Deliver(collector.Text(), collector.Size());
}

Session::Next Session::Deliver(std::string& text, std::uint64_t size) {
  if (text.empty()) {
    observer_.Refused(Refusal::BadMessage);
    ResetTransaction();
    Reply(554, "5.6.0", "Message refused: it is empty");
    return Next::Continue;
  }
  const std::string id = NewMessageId();
  TraceDetails trace{greeting_,
                     client_.address,
                     limits_.serverName,
                     Protocol(),
                     id,
                     envelope_->recipients.size() == 1 ? envelope_->recipients.front() : "",
                     std::chrono::system_clock::now()};
  text.insert(0, ReceivedField(trace));
  const SinkReply reply = sink_.Queue(*envelope_, text, id);
  if (reply.queued) {
    observer_.Queued({id, client_.address, envelope_->sender, envelope_->recipients, size});
  } else {
    observer_.Refused(reply.code == 552 || reply.code == 554 ? Refusal::BadMessage
                                                             : Refusal::QueueFailed);
  }
  ResetTransaction();
  Reply(reply.code, reply.enhanced, reply.text);
  return Next::Continue;
}

Session::Next Session::StartTls() {
  if (!security_.startTls) {
    return Misplaced("502 5.5.1 STARTTLS is not offered here");
  }
  if (tls_) {
    return Misplaced("503 5.5.1 TLS is already on");
  }
  Reply(220, "2.0.0", "Ready to start TLS");
  stream_.Flush(limits_.commandTimeout);
  if (stream_.HasUnreadInput()) {
    // Commands sent after STARTTLS in the clear would count as sent under TLS
    // (RFC 3207 section 5); such a client is not talked to further.
    observer_.Refused(Refusal::Protocol);
    return Next::Close;
  }
  try {
    stream_.SetTransport(security_.startTls(stream_.TakeTransport()));
  } catch (const TransportError&) {
    observer_.Refused(Refusal::Protocol);
    return Next::Close;
  }
  tls_ = true;
  // RFC 3207 section 4.2: the client starts again with EHLO.
  greeting_.clear();
  ResetTransaction();
  return Next::Continue;
}

Session::Next Session::Auth(const Command& command) {
  if (security_.authenticator == nullptr || !tls_) {
    return Misplaced(security_.authenticator == nullptr
                         ? "502 5.5.1 AUTH is not offered here"
                         : "538 5.7.11 Encryption required: STARTTLS first");
  }
  if (greeting_.empty() || !extended_) {
    return Misplaced("503 5.5.1 Send EHLO first");
  }
  if (user_) {
    return Misplaced("503 5.5.1 Already authenticated");
  }
  if (envelope_) {
    return Misplaced("503 5.5.1 AUTH is not allowed during a mail transaction");
  }
  const SaslResult result = RunSaslExchange(command.argument, stream_, limits_.commandTimeout);
  switch (result.outcome) {
    case SaslOutcome::Cancelled:
      return Misplaced("501 5.0.0 Authentication cancelled");
    case SaslOutcome::Malformed:
      return Misplaced("501 5.5.2 " + result.why);
    case SaslOutcome::Unsupported:
      return Misplaced("504 5.5.4 Mechanism not supported: use PLAIN or LOGIN");
    case SaslOutcome::Credentials:
      break;
  }
  if (!security_.authenticator->Check(result.user, result.password)) {
    observer_.Refused(Refusal::NotPermitted);
    Reply(535, "5.7.8", "Authentication credentials invalid");
    return ++errors_ >= limits_.maxErrors ? Next::Close : Next::Continue;
  }
  user_ = result.user;
  Reply(235, "2.7.0", "Authentication successful");
  return Next::Continue;
}

}  // namespace quillpost::smtpd
