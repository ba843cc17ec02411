#pragma once

// One client's SMTP dialogue (RFC 5321, with PIPELINING, SIZE, 8BITMIME,
// ENHANCEDSTATUSCODES, STARTTLS and AUTH when set up): reads commands, checks
// their order and arguments, collects each message and hands it to the sink,
// answering 250 only when the sink has it durably.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "command_syntax.h"
#include "message_sink.h"
#include "session_observer.h"
#include "smtp_stream.h"

namespace quillpost::smtpd {

class Authenticator;

struct SessionLimits {
  std::string serverName = "localhost";
  std::uint64_t maxMessageSize = 0;
  int maxRecipients = 100;
  std::chrono::milliseconds commandTimeout{300'000};
  std::chrono::milliseconds dataTimeout{180'000};
  int maxErrors = 20;  // bad or misplaced commands before the connection is closed
};

struct ClientInfo {
  std::string address;    // numeric, for the trace field and the log
  bool mayRelay = false;  // in allow_networks: may submit without authenticating
};

// What the session may offer beyond plain SMTP; empty parts are not offered.
struct SessionSecurity {
  // Wraps the plain transport in TLS (the server's side of the handshake).
  // Throws TransportError when the handshake fails.
  std::function<std::unique_ptr<Transport>(std::unique_ptr<Transport>)> startTls;
  // Checks AUTH; offered only once TLS is on.
  const Authenticator* authenticator = nullptr;
};

class Session {
 public:
  Session(std::unique_ptr<Transport> transport, SessionLimits limits, ClientInfo client,
          SessionSecurity security, MessageSink& sink, SessionObserver& observer);

  // Runs the dialogue to its end: QUIT, the client gone, a time-out or a
  // limit. Never throws for anything the client does.
  void Run();

 private:
  enum class Next { Continue, Close };

  Next Handle(const Command& command);
  Next Greet(const Command& command, bool extended);
  Next Mail(const Command& command);
  Next Recipient(const Command& command);
  Next Data();
  Next StartTls();
  Next Auth(const Command& command);
  Next Deliver(std::string& text, std::uint64_t size);
  Next Misplaced(std::string_view text);

  void Reply(int code, std::string_view enhanced, std::string_view text);
  bool MaySubmit() const;
  std::string Protocol() const;
  void ResetTransaction();

  SmtpStream stream_;
  SessionLimits limits_;
  ClientInfo client_;
  SessionSecurity security_;
  MessageSink& sink_;
  SessionObserver& observer_;

  std::string greeting_;  // the EHLO/HELO argument; empty before either
  bool extended_ = false;
  bool tls_ = false;
  std::optional<std::string> user_;   // once authenticated
  std::optional<Envelope> envelope_;  // from MAIL on
  int errors_ = 0;
};

}  // namespace quillpost::smtpd
