// Plays arbitrary client bytes through a whole SMTP session. The input is cut
// into reads at each 0xFF byte; STARTTLS goes on over the same bytes, and the
// user "u" with password "p" may authenticate. Whatever the client sends, the
// session must never crash, and every message it hands on must have a sender,
// at least one recipient, CR LF line ends only and lines of at most 998
// octets after the trace field.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "authenticator.h"
#include "session.h"

namespace {

using namespace quillpost::smtpd;

class Reads {
 public:
  explicit Reads(std::string_view input) {
    std::size_t start = 0;
    while (start <= input.size()) {
      const std::size_t end = std::min(input.find('\xff', start), input.size());
      chunks_.emplace_back(input.substr(start, end - start));
      start = end + 1;
    }
  }
  std::size_t Next(char* buffer, std::size_t size) {
    while (next_ < chunks_.size()) {
      std::string& chunk = chunks_[next_];
      if (!chunk.empty()) {
        const std::size_t taken = chunk.copy(buffer, size);
        chunk.erase(0, taken);
        return taken;
      }
      ++next_;
    }
    return 0;
  }

 private:
  std::vector<std::string> chunks_;
  std::size_t next_ = 0;
};

class FuzzTransport : public Transport {
 public:
  explicit FuzzTransport(Reads& reads) : reads_(reads) {}
  std::size_t Read(char* buffer, std::size_t size, std::chrono::milliseconds) override {
    return reads_.Next(buffer, size);
  }
  void Write(std::string_view, std::chrono::milliseconds) override {}

 private:
  Reads& reads_;
};

class CheckingSink : public MessageSink {
 public:
  SinkReply Queue(const Envelope& envelope, const std::string& message,
                  const std::string&) override {
    if (envelope.sender.empty() || envelope.recipients.empty() || message.empty()) {
      std::abort();
    }
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i < message.size(); ++i) {
      const bool lf = message[i] == '\n';
      const bool cr = message[i] == '\r';
      if ((lf && (i == 0 || message[i - 1] != '\r')) ||
          (cr && (i + 1 == message.size() || message[i + 1] != '\n'))) {
        std::abort();
      }
      if (lf) {
        if (i - 1 - lineStart > 998) {
          std::abort();
        }
        lineStart = i + 1;
      }
    }
    if (!message.ends_with("\r\n")) {
      std::abort();
    }
    return {250, "2.0.0", "Ok", true};
  }
};

class NullObserver : public SessionObserver {
 public:
  void Queued(const QueuedMessage&) override {}
  void Refused(Refusal) override {}
};

class OneUser : public Authenticator {
 public:
  bool Check(std::string_view user, std::string_view password) const override {
    return user == "u" && password == "p";
  }
  bool MaySend(std::string_view, std::string_view) const override { return true; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reads reads(std::string_view(reinterpret_cast<const char*>(data), size));
  CheckingSink sink;
  NullObserver observer;
  OneUser user;
  SessionLimits limits;
  limits.serverName = "fuzz.test";
  limits.maxMessageSize = 4096;
  limits.maxRecipients = 3;
  SessionSecurity security;
  security.authenticator = &user;
  security.startTls = [&reads](std::unique_ptr<Transport>) -> std::unique_ptr<Transport> {
    return std::make_unique<FuzzTransport>(reads);
  };
  Session session(std::make_unique<FuzzTransport>(reads), limits, ClientInfo{"192.0.2.1", false},
                  std::move(security), sink, observer);
  session.Run();
  return 0;
}
