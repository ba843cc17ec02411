// The SMTP dialogue over a scripted connection: the replies, their order and
// batching, and what reaches the sink.

#include "session.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "authenticator.h"

namespace quillpost::smtpd {
namespace {

// Hands out the client's chunks one read at a time; then the client is gone,
// or silent for too long.
class ScriptedTransport : public Transport {
 public:
  ScriptedTransport(std::vector<std::string> chunks, std::vector<std::string>& writes,
                    bool silentAtEnd)
      : chunks_(std::move(chunks)), writes_(writes), silentAtEnd_(silentAtEnd) {}

  std::size_t Read(char* buffer, std::size_t size, std::chrono::milliseconds) override {
    if (next_ == chunks_.size()) {
      if (silentAtEnd_) {
        throw TransportTimeout("silent");
      }
      return 0;
    }
    const std::string& chunk = chunks_[next_++];
    EXPECT_LE(chunk.size(), size);
    chunk.copy(buffer, size);
    return chunk.size();
  }
  void Write(std::string_view bytes, std::chrono::milliseconds) override {
    writes_.emplace_back(bytes);
  }

 private:
  std::vector<std::string> chunks_;
  std::size_t next_ = 0;
  std::vector<std::string>& writes_;
  bool silentAtEnd_;
};

class RecordingSink : public MessageSink {
 public:
  SinkReply Queue(const Envelope& envelope, const std::string& message,
                  const std::string& id) override {
    queued.push_back({envelope, message});
    return {250, "2.0.0", "Ok: queued as " + id, true};
  }
  std::vector<std::pair<Envelope, std::string>> queued;
};

class CountingObserver : public SessionObserver {
 public:
  void Queued(const QueuedMessage&) override { ++queued; }
  void Refused(Refusal refusal) override { refusals.push_back(refusal); }
  int queued = 0;
  std::vector<Refusal> refusals;
};

// app / secret, who may send as app@example.org only.
class OneUser : public Authenticator {
 public:
  bool Check(std::string_view user, std::string_view password) const override {
    return user == "app" && password == "secret";
  }
  bool MaySend(std::string_view, std::string_view sender) const override {
    return sender == "app@example.org";
  }
};

class SessionTest : public ::testing::Test {
 protected:
  SessionTest() {
    limits.serverName = "mx.test";
    limits.maxMessageSize = 1000;
    limits.maxRecipients = 2;
  }

  // Runs a session over chunks; returns every reply line in order.
  std::vector<std::string> Run(std::vector<std::string> chunks, bool silentAtEnd = false) {
    Session session(std::make_unique<ScriptedTransport>(std::move(chunks), writes, silentAtEnd),
                    limits, client, std::move(security), sink, observer);
    session.Run();
    std::vector<std::string> lines;
    for (const std::string& write : writes) {
      for (std::size_t start = 0; start < write.size();) {
        const std::size_t end = write.find("\r\n", start);
        lines.push_back(write.substr(start, end - start));
        start = end + 2;
      }
    }
    return lines;
  }

  static std::vector<std::string> Codes(const std::vector<std::string>& lines) {
    std::vector<std::string> codes;
    for (const std::string& line : lines) {
      codes.push_back(line.substr(0, line[3] == '-' ? 4 : 9));
    }
    return codes;
  }

  SessionLimits limits;
  ClientInfo client{"127.0.0.1", true};
  SessionSecurity security;
  RecordingSink sink;
  CountingObserver observer;
  std::vector<std::string> writes;
};

TEST_F(SessionTest, PipelinedCommandsAreAnsweredInOneWriteAndTheMessageIsUnstuffed) {
  const auto lines = Run({"EHLO client.test\r\n",
                          "MAIL FROM:<ann@example.org> BODY=8BITMIME SIZE=60\r\n"
                          "RCPT TO:<bob@example.org>\r\nRCPT TO: <cy@example.net>\r\nDATA\r\n",
                          "Subject: caf\xc3\xa9\r\n\r\n..leading dot\r\n", "...\r\n.\r\nQUIT\r\n"});
  EXPECT_EQ(Codes(lines), (std::vector<std::string>{
                              "220 mx.te", "250-", "250-", "250-", "250-", "250 ENHAN", "250 2.1.0",
                              "250 2.1.5", "250 2.1.5", "354 End d", "250 2.0.0", "221 2.0.0"}));
  EXPECT_EQ(lines[3], "250-SIZE 1000");
  ASSERT_EQ(writes.size(), 4U);
  EXPECT_TRUE(writes[2].starts_with("250 2.1.0") && writes[2].find("354") != std::string::npos);
  ASSERT_EQ(sink.queued.size(), 1U);
  EXPECT_EQ(sink.queued[0].first.sender, "ann@example.org");
  EXPECT_EQ(sink.queued[0].first.recipients,
            (std::vector<std::string>{"bob@example.org", "cy@example.net"}));
  const std::string& message = sink.queued[0].second;
  EXPECT_TRUE(
      message.starts_with("Received: from client.test ([127.0.0.1])\r\n\tby mx.test "
                          "(quillpost-smtpd) with ESMTP id "))
      << message;
  EXPECT_EQ(message.substr(message.find("\r\nSubject") + 2),
            "Subject: caf\xc3\xa9\r\n\r\n.leading dot\r\n..\r\n");
  const std::string id = message.substr(message.find(" id ") + 4, 16);
  EXPECT_EQ(lines[10], "250 2.0.0 Ok: queued as " + id);
}

TEST_F(SessionTest, BareLineEndsLongLinesAndSmuggledEndsNeverReachTheQueue) {
  const auto lines =
      Run({"HELO c\r\nMAIL FROM:<a@x.org>\r\nRCPT TO:<b@x.org>\r\nDATA\r\n",
           "one\n.\nMAIL FROM:<evil@x.org>\r\n.\r\n",
           "MAIL FROM:<a@x.org>\r\nRCPT TO:<b@x.org>\r\nDATA\r\n", "bare\rcr\r\n.\r\n",
           "MAIL FROM:<a@x.org>\r\nRCPT TO:<b@x.org>\r\nDATA\r\n",
           std::string(999, 'x') + "\r\n.\r\nQUIT\r\n"});
  EXPECT_EQ(Codes(lines), (std::vector<std::string>{
                              "220 mx.te", "250 mx.te", "250 2.1.0", "250 2.1.5", "354 End d",
                              "554 5.6.0", "250 2.1.0", "250 2.1.5", "354 End d", "554 5.6.0",
                              "250 2.1.0", "250 2.1.5", "354 End d", "554 5.6.0", "221 2.0.0"}));
  EXPECT_NE(lines[5].find("bare CR or LF"), std::string::npos);
  EXPECT_NE(lines[13].find("longer than 998"), std::string::npos);
  EXPECT_TRUE(sink.queued.empty());
}

TEST_F(SessionTest, LimitsAnswerWithTheirCodesAndAnOversizedMessageEndsTheConnection) {
  const auto lines =
      Run({"EHLO c\r\nMAIL FROM:<a@x.org> SIZE=1001\r\nMAIL FROM:<a@x.org>\r\n"
           "RCPT TO:<b@x.org>\r\nRCPT TO:<c@x.org>\r\nRCPT TO:<d@x.org>\r\nDATA\r\n",
           std::string(600, 'x') + "\r\n" + std::string(600, 'y') + "\r\n.\r\nQUIT\r\n"});
  const auto codes = Codes(lines);
  EXPECT_EQ(std::vector<std::string>(codes.begin() + 6, codes.end()),
            (std::vector<std::string>{"552 5.3.4", "250 2.1.0", "250 2.1.5", "250 2.1.5",
                                      "452 4.5.3", "354 End d", "552 5.3.4"}));
  EXPECT_NE(lines.back().find("closing the connection"), std::string::npos);
  EXPECT_TRUE(sink.queued.empty());
  EXPECT_EQ(std::count(observer.refusals.begin(), observer.refusals.end(), Refusal::TooLarge), 2);

  writes.clear();
  EXPECT_EQ(Codes(Run({"EHLO c\r\n"}, true)).back(), "421 4.4.2");
}

TEST_F(SessionTest, CommandsOutOfOrderOrMalformedGetTheirRefusals) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"MAIL FROM:<a@x.org>", "503 5.5.1"},
      {"EHLO", "501 5.5.4"},
      {"HELO c", "250 mx.te"},
      {"RCPT TO:<b@x.org>", "503 5.5.1"},
      {"DATA", "503 5.5.1"},
      {"MAIL FROM:a@x.org", "501 5.5.4"},
      {"MAIL FROM:<a@@x.org>", "553 5.1.7"},
      {"MAIL FROM:<>", "553 5.1.7"},
      {"MAIL FROM:<a@x.org> SMTPUTF8", "555 5.5.4"},
      {"MAIL FROM:<\"a b\"@x.org>", "250 2.1.0"},
      {"MAIL FROM:<a@x.org>", "503 5.5.1"},
      {"RCPT TO:<@relay.example:b@x.org>", "250 2.1.5"},
      {"RCPT TO:<b@x..org>", "553 5.1.3"},
      {"DATA extra", "354 End d"},
      {".", "554 5.6.0"},
      {"STARTTLS", "502 5.5.1"},
      {"AUTH PLAIN", "502 5.5.1"},
      {"VRFY bob", "252 2.5.0"},
      {"NOOP", "250 2.0.0"},
      {"RSET", "250 2.0.0"},
      {"EXPN staff", "502 5.5.1"},
      {"XYZZY", "500 5.5.2"},
      {"NOOP \x01", "500 5.5.2"},
      {std::string(1001, 'N'), "500 5.5.2"},
  };
  std::string script;
  std::vector<std::string> expected{"220 mx.te"};
  for (const auto& [command, reply] : cases) {
    script += command + "\r\n";
    expected.push_back(reply);
  }
  EXPECT_EQ(Codes(Run({script.substr(0, 60000)})), expected);
}

TEST_F(SessionTest, ClientOutsideTheAllowListMustUseTlsAndAuthenticate) {
  client.mayRelay = false;
  EXPECT_EQ(Codes(Run({"EHLO c\r\nMAIL FROM:<a@x.org>\r\nQUIT\r\n"})).at(6), "550 5.7.1");

  OneUser user;
  std::vector<std::string> tlsWrites;
  const auto runWithTls = [&](std::vector<std::string> plain, std::vector<std::string> secure) {
    writes.clear();
    tlsWrites.clear();
    security.authenticator = &user;
    security.startTls = [&](std::unique_ptr<Transport>) -> std::unique_ptr<Transport> {
      return std::make_unique<ScriptedTransport>(secure, tlsWrites, false);
    };
    auto lines = Run(std::move(plain));
    for (const std::string& write : tlsWrites) {
      lines.push_back(write);
    }
    return lines;
  };
  const auto lines =
      runWithTls({"EHLO c\r\n", "AUTH PLAIN AGFwcABzZWNyZXQ=\r\nMAIL FROM:<app@example.org>\r\n",
                  "STARTTLS\r\n"},
                 {"EHLO c\r\n", "AUTH PLAIN AGFwcAB3cm9uZw==\r\n", "AUTH LOGIN\r\n", "YXBw\r\n",
                  "c2VjcmV0\r\n", "MAIL FROM:<bob@example.org>\r\n",
                  "MAIL FROM:<app@example.org>\r\n", "QUIT\r\n"});
  const std::string all = [&] {
    std::string text;
    for (const std::string& line : lines) {
      text += line + "\n";
    }
    return text;
  }();
  EXPECT_NE(all.find("250 STARTTLS"), std::string::npos) << all;
  EXPECT_NE(all.find("538 5.7.11"), std::string::npos) << all;
  EXPECT_NE(all.find("530 5.7.0 Must issue a STARTTLS"), std::string::npos) << all;
  EXPECT_NE(all.find("220 2.0.0 Ready to start TLS"), std::string::npos) << all;
  // AUTH is offered under TLS only.
  EXPECT_GT(all.find("250 AUTH PLAIN LOGIN"), all.find("220 2.0.0 Ready to start TLS")) << all;
  EXPECT_NE(all.find("250 AUTH PLAIN LOGIN"), std::string::npos) << all;
  EXPECT_NE(all.find("535 5.7.8"), std::string::npos) << all;
  EXPECT_NE(all.find("334 VXNlcm5hbWU6\r\n"), std::string::npos) << all;
  EXPECT_NE(all.find("235 2.7.0"), std::string::npos) << all;
  EXPECT_NE(all.find("553 5.7.1 Sender <bob@example.org>"), std::string::npos) << all;
  EXPECT_NE(all.find("250 2.1.0 Sender <app@example.org>"), std::string::npos) << all;

  // Commands sent in the clear behind STARTTLS are never taken as sent under TLS.
  const auto injected =
      runWithTls({"EHLO c\r\nSTARTTLS\r\nMAIL FROM:<app@example.org>\r\n"}, {"EHLO c\r\n"});
  EXPECT_EQ(injected.back().substr(0, 9), "220 2.0.0");
  EXPECT_TRUE(tlsWrites.empty());
}

}  // namespace
}  // namespace quillpost::smtpd
