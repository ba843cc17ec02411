// STARTTLS, TLS from the start, certificate checks and AUTH.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "mail_test_support.h"

namespace quillpost::smtp::test {
namespace {

using peer::SmtpPeer;
using peer::SmtpPeerOptions;

ConnectionSettings TrustingPeer(const SmtpPeer& peer, Security security) {
  ConnectionSettings settings = PeerSettings(peer);
  settings.security = security;
  settings.caFile = peer.CertificateFile();
  return settings;
}

bool SawCommand(const SmtpPeer& peer, const std::string& start) {
  for (const std::string& command : peer.Commands()) {
    if (command.find(" " + start) != std::string::npos) {
      return true;
    }
  }
  return false;
}

int SendTo(const ConnectionSettings& settings, SendFailure* failure = nullptr) {
  OutgoingMail mail;
  FillMail(mail, settings);
  return SendNumber(mail, failure);
}

// A peer that takes AUTH XOAUTH2 with one token, and settings whose token
// command is a shell script with the peer's folder as working directory.
class OAuth2 : public ::testing::Test {
 protected:
  OAuth2() : peer_(PeerOptions()) {}

  static SmtpPeerOptions PeerOptions() {
    SmtpPeerOptions options;
    options.xoauth2User = "relay@example.com";
    options.xoauth2Token = "ya29.token";
    options.authWithoutTls = true;
    return options;
  }

  ConnectionSettings Settings(const std::string& script) const {
    ConnectionSettings settings = PeerSettings(peer_);
    settings.allowPlainTextAuth = true;
    settings.user = "relay@example.com";
    settings.authMethod = AuthMethod::XOAuth2;
    settings.tokenCommand = {"sh", "-c", "cd '" + peer_.Folder().string() + "' || exit; " + script};
    return settings;
  }

  // How often the script ran, when it appends a line to "runs" each time.
  std::size_t Runs() const {
    std::ifstream in(peer_.Folder() / "runs");
    std::size_t lines = 0;
    for (std::string line; std::getline(in, line);) {
      ++lines;
    }
    return lines;
  }

  // Waits a while for the process whose number the script wrote to "helper"
  // to be gone (or a zombie no one waits for).
  bool HelperGone() const {
    std::ifstream in(peer_.Folder() / "helper");
    long pid = 0;
    if (!(in >> pid) || pid <= 0) {
      return false;
    }
    for (int i = 0; i < 250; ++i) {
      std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
      std::string number, name, state;
      if (!(stat >> number >> name >> state) || state == "Z") {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  SmtpPeer peer_;
};

TEST_F(OAuth2, ATokenIsKeptForItsLifetimeAndDroppedWhenTheServerRefusesIt) {
  WriteFile(peer_.Folder() / "token", "stale\n");
  const ConnectionSettings settings = Settings("echo run >> runs; cat token");
  EXPECT_EQ(SendTo(settings), 535);
  WriteFile(peer_.Folder() / "token", "ya29.token\n");
  EXPECT_EQ(SendTo(settings), 0);
  EXPECT_EQ(SendTo(settings), 0);
  EXPECT_EQ(Runs(), 2U);
  EXPECT_EQ(peer_.Messages().size(), 2U);
}

TEST_F(OAuth2, ATokenIsTakenWhenTheCommandExitsThoughAHelperHoldsItsOutput) {
  ConnectionSettings settings = Settings("sleep 60 & echo $! > helper; echo ya29.token");
  settings.tokenCommandTimeout = std::chrono::seconds(20);
  EXPECT_EQ(SendTo(settings), 0);
  EXPECT_TRUE(HelperGone());
}

TEST_F(OAuth2, AHangingCommandIsKilledWithItsChildrenAndNotRunForEveryMail) {
  ConnectionSettings settings = Settings("echo run >> runs; sleep 60 & echo $! > helper; wait");
  settings.tokenCommandTimeout = std::chrono::seconds(1);
  for (int mail = 0; mail < 3; ++mail) {
    SendFailure failure(0, "");
    EXPECT_EQ(SendTo(settings, &failure), failure::kAuthenticationUnavailable);
    EXPECT_NE(std::string(failure.what()).find("took longer than 1 s"), std::string::npos)
        << failure.what();
  }
  EXPECT_EQ(Runs(), 1U);
  EXPECT_TRUE(HelperGone());
  EXPECT_EQ(peer_.Connections(), 0);
}

TEST(Security, StartTlsIsUsedWhenOfferedAndTheCertificateIsTrusted) {
  SmtpPeerOptions options;
  options.startTls = true;
  options.requireStartTls = true;
  SmtpPeer peer(options);
  EXPECT_EQ(SendTo(TrustingPeer(peer, Security::StartTlsWhenOffered)), 0);
  EXPECT_EQ(SendTo(TrustingPeer(peer, Security::StartTlsRequired)), 0);
  EXPECT_EQ(peer.Messages().size(), 2u);
  EXPECT_TRUE(SawCommand(peer, "STARTTLS"));
}

TEST(Security, UntrustedCertificateIsRefusedUnlessVerificationIsOff) {
  SmtpPeerOptions options;
  options.startTls = true;
  SmtpPeer peer(options);
  ConnectionSettings settings = PeerSettings(peer);
  settings.security = Security::StartTlsWhenOffered;  // the system's trust store
  SendFailure refused(0, "");
  EXPECT_EQ(SendTo(settings, &refused), failure::kCertificateRefused) << refused.what();
  settings.verifyCertificate = false;
  EXPECT_EQ(SendTo(settings), 0);
  settings = TrustingPeer(peer, Security::StartTlsRequired);
  settings.caFile = (peer.Folder() / "missing-ca.pem").string();
  const int number = SendTo(settings);
  EXPECT_TRUE(number == failure::kCaFileUnreadable || number == failure::kCertificateRefused)
      << number;
  EXPECT_EQ(peer.Messages().size(), 1u);
}

TEST(Security, RequiredStartTlsFailsWhereTheServerDoesNotOfferIt) {
  SmtpPeer peer;
  EXPECT_EQ(SendTo(TrustingPeer(peer, Security::StartTlsRequired)), failure::kTlsUnavailable);
  EXPECT_EQ(SendTo(TrustingPeer(peer, Security::StartTlsWhenOffered)), 0);
  EXPECT_FALSE(SawCommand(peer, "STARTTLS"));
  EXPECT_EQ(peer.Messages().size(), 1u);
}

TEST(Security, RefusedStartTlsCarriesTheReplyCode) {
  SmtpPeerOptions options;
  options.startTls = true;
  options.refuse["starttls"] = 454;
  SmtpPeer peer(options);
  SendFailure failure(0, "");
  EXPECT_EQ(SendTo(TrustingPeer(peer, Security::StartTlsRequired), &failure), 454)
      << failure.what();
}

TEST(Security, TlsFromTheFirstByte) {
  SmtpPeerOptions options;
  options.implicitTls = true;
  SmtpPeer peer(options);
  EXPECT_EQ(SendTo(TrustingPeer(peer, Security::Tls)), 0);
  EXPECT_EQ(peer.Messages().size(), 1u);
  // A plain-text client gets no greeting it can read.
  EXPECT_EQ(SendTo(PeerSettings(peer)), failure::kNotListening);
}

TEST(Security, AuthenticationOverTls) {
  SmtpPeerOptions options;
  options.startTls = true;
  options.authUser = "relay";
  options.authPassword = "s3cret";
  SmtpPeer peer(options);
  ConnectionSettings settings = TrustingPeer(peer, Security::StartTlsWhenOffered);
  settings.user = "relay";
  settings.password = "s3cret";
  EXPECT_EQ(SendTo(settings), 0);
  EXPECT_EQ(peer.Messages().size(), 1u);

  settings.password = "wrong";
  SendFailure failure(0, "");
  EXPECT_EQ(SendTo(settings, &failure), 535);
  EXPECT_EQ(failure.ReplyCode(), 535);

  settings.user.clear();  // no AUTH at all: the server refuses the sender
  EXPECT_EQ(SendTo(settings), failure::kSenderRefused);
  EXPECT_EQ(peer.Messages().size(), 1u);
}

TEST(Security, CredentialsNeverTravelInClearTextUnlessAllowed) {
  SmtpPeerOptions options;
  options.authUser = "relay";
  options.authPassword = "s3cret";
  options.authWithoutTls = true;
  SmtpPeer peer(options);
  ConnectionSettings settings = PeerSettings(peer);
  settings.user = "relay";
  settings.password = "s3cret";
  EXPECT_EQ(SendTo(settings), failure::kSettingsUnusable);
  settings.security = Security::StartTlsWhenOffered;
  EXPECT_EQ(SendTo(settings), failure::kTlsUnavailable);
  EXPECT_FALSE(SawCommand(peer, "AUTH"));

  settings.allowPlainTextAuth = true;
  EXPECT_EQ(SendTo(settings), 0);
  EXPECT_TRUE(SawCommand(peer, "AUTH"));
  EXPECT_EQ(peer.Messages().size(), 1u);
}

TEST(Security, OAuth2TokenFromACommandWithoutAShell) {
  SmtpPeerOptions options;
  options.xoauth2User = "relay@example.com";
  options.xoauth2Token = "ya29.token";
  options.authWithoutTls = true;
  SmtpPeer peer(options);
  ConnectionSettings settings = PeerSettings(peer);
  settings.allowPlainTextAuth = true;
  settings.user = "relay@example.com";
  settings.authMethod = AuthMethod::XOAuth2;
  settings.tokenCommand = {"printf", "%s\\n", "ya29.token"};
  EXPECT_EQ(SendTo(settings), 0);
  EXPECT_TRUE(SawCommand(peer, "AUTH XOAUTH2"));
  settings.tokenCommand = {"printf", "wrong; echo ya29.token"};  // no shell runs it
  EXPECT_EQ(SendTo(settings), 535);
  settings.tokenCommand = {"sleep", "5"};
  settings.tokenCommandTimeout = std::chrono::seconds(1);
  EXPECT_EQ(SendTo(settings), failure::kAuthenticationUnavailable);
  EXPECT_EQ(peer.Messages().size(), 1u);
}

}  // namespace
}  // namespace quillpost::smtp::test
