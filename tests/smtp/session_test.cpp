// Consecutive mails to one server share a session; a session that went away
// is replaced without losing or doubling a mail.

#include <gtest/gtest.h>

#include <thread>

#include "mail_test_support.h"

namespace quillpost::smtp::test {
namespace {

using peer::SmtpPeer;
using peer::SmtpPeerOptions;

ConnectionSettings KeptSessionSettings(const SmtpPeer& peer) {
  ConnectionSettings settings = PeerSettings(peer);
  settings.idleSessionTimeout = std::chrono::seconds(30);
  return settings;
}

void SendOne(const ConnectionSettings& settings, const std::string& subject) {
  OutgoingMail mail;
  FillMail(mail, settings);
  mail.SetSubject(subject);
  mail.Send();
  EXPECT_FALSE(mail.Warning().has_value());
}

std::vector<std::string> Subjects(const SmtpPeer& peer) {
  std::vector<std::string> subjects;
  for (const auto& message : peer.Messages()) {
    const auto values = message.Header("Subject");
    subjects.push_back(values.empty() ? "" : values.front());
  }
  return subjects;
}

class Session : public SessionCacheGuard {};

TEST_F(Session, ConsecutiveMailsShareOneConnectionUntilClosed) {
  SmtpPeer peer;
  const ConnectionSettings settings = KeptSessionSettings(peer);
  SendOne(settings, "one");
  SendOne(settings, "two");
  SendOne(settings, "three");
  EXPECT_EQ(peer.Connections(), 1);
  EXPECT_EQ(Subjects(peer), (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(SessionCache::Process().Size(), 1u);

  SessionCache::Process().CloseAll();
  ASSERT_TRUE(peer.WaitForClosedConnections(1, std::chrono::seconds(5)));
  const auto commands = peer.Commands();
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands.back(), "1 QUIT");
}

TEST_F(Session, DifferentSettingsDoNotShareASession) {
  SmtpPeer peer;
  ConnectionSettings settings = KeptSessionSettings(peer);
  SendOne(settings, "one");
  settings.ehloName = "other.test";
  SendOne(settings, "two");
  EXPECT_EQ(peer.Connections(), 2);
  EXPECT_EQ(SessionCache::Process().Size(), 2u);
}

TEST_F(Session, ASessionRefusedHoldsNoOpenConnection) {
  SmtpPeerOptions one;
  one.maxConnections = 1;
  SmtpPeer peer(one);
  ConnectionSettings settings = KeptSessionSettings(peer);
  SendOne(settings, "one");
  settings.ehloName = "other.test";
  EXPECT_THROW(SendOne(settings, "two"), SendFailure);
  EXPECT_EQ(SessionCache::Process().Size(), 2u);
  EXPECT_EQ(SessionCache::Process().OpenConnections(), 1u);
}

TEST_F(Session, IdleSessionIsClosed) {
  SmtpPeer peer;
  ConnectionSettings settings = KeptSessionSettings(peer);
  settings.idleSessionTimeout = std::chrono::seconds(2);
  SendOne(settings, "one");
  SessionCache::Process().CloseIdle();
  EXPECT_EQ(SessionCache::Process().Size(), 1u);  // not idle long enough yet
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  SessionCache::Process().CloseIdle();
  EXPECT_EQ(SessionCache::Process().Size(), 0u);
  ASSERT_TRUE(peer.WaitForClosedConnections(1, std::chrono::seconds(5)));
  SendOne(settings, "two");
  EXPECT_EQ(peer.Connections(), 2);
}

TEST_F(Session, ServerThatDroppedTheSessionGetsTheNextMailOnANewOne) {
  SmtpPeerOptions options;
  options.closeAfterMail = true;
  SmtpPeer peer(options);
  const ConnectionSettings settings = KeptSessionSettings(peer);
  SendOne(settings, "one");
  ASSERT_TRUE(peer.WaitForClosedConnections(1, std::chrono::seconds(5)));
  SendOne(settings, "two");
  EXPECT_EQ(Subjects(peer), (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(peer.Connections(), 2);
}

TEST_F(Session, ServerClosingAKeptSessionAtMailFromIsRetriedOnceWithoutDuplicates) {
  SmtpPeerOptions options;
  options.refuseOnReuse = true;  // 421 to the second MAIL FROM of a connection
  SmtpPeer peer(options);
  const ConnectionSettings settings = KeptSessionSettings(peer);
  SendOne(settings, "one");
  SendOne(settings, "two");
  SendOne(settings, "three");
  EXPECT_EQ(Subjects(peer), (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(peer.Connections(), 3);
}

TEST_F(Session, SessionIsUsableAfterARefusedRecipient) {
  SmtpPeerOptions options;
  options.refuseRecipient["nobody@example.com"] = 550;
  SmtpPeer peer(options);
  const ConnectionSettings settings = KeptSessionSettings(peer);
  SendOne(settings, "one");
  OutgoingMail refused;
  FillMail(refused, settings);
  refused.AddRecipient("nobody@example.com");
  EXPECT_EQ(SendNumber(refused), 0);  // to the one recipient that is not refused
  EXPECT_EQ(refused.RefusedRecipients().size(), 1U);
  // A refusal is the server's answer, not a lost session: it is not tried
  // again on a new connection, and the RCPT is not repeated.
  EXPECT_EQ(peer.Connections(), 1);
  int refusedRcpts = 0;
  for (const std::string& command : peer.Commands()) {
    refusedRcpts += command.ends_with("RCPT TO:<nobody@example.com>") ? 1 : 0;
  }
  EXPECT_EQ(refusedRcpts, 1);
  SendOne(settings, "two");
  EXPECT_EQ(Subjects(peer), (std::vector<std::string>{"one", "Subject", "two"}));
}

TEST_F(Session, NextMailAfterATimeOutOpensANewConnection) {
  SmtpPeerOptions options;
  options.stall = "content";  // never answers the end of the message
  SmtpPeer peer(options);
  ConnectionSettings settings = KeptSessionSettings(peer);
  settings.replyTimeout = std::chrono::seconds(1);
  for (int attempt = 1; attempt <= 2; ++attempt) {
    OutgoingMail mail;
    FillMail(mail, settings);
    EXPECT_EQ(SendNumber(mail), failure::kTimedOutReceiving);
    EXPECT_EQ(peer.Connections(), attempt);
  }
  EXPECT_TRUE(peer.WaitForClosedConnections(2, std::chrono::seconds(5)));
}

TEST_F(Session, WithoutIdleTimeEverySessionEndsWithQuit) {
  SmtpPeer peer;
  SendOne(PeerSettings(peer), "one");
  SendOne(PeerSettings(peer), "two");
  EXPECT_EQ(peer.Connections(), 2);
  EXPECT_EQ(SessionCache::Process().Size(), 0u);
  int quits = 0;
  for (const std::string& command : peer.Commands()) {
    quits += command.ends_with(" QUIT") ? 1 : 0;
  }
  EXPECT_EQ(quits, 2);
}

}  // namespace
}  // namespace quillpost::smtp::test
