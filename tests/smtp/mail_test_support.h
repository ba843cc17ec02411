#pragma once

// Shared helpers of the tests that send through a test peer.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "mail/outgoing_mail.h"
#include "mail/session_cache.h"
#include "smtp_peer.h"

namespace quillpost::smtp::test {

// Settings for a peer on loopback: one connection per mail, time-outs short
// but generous enough for a loaded machine.
inline ConnectionSettings PeerSettings(const peer::SmtpPeer& peer) {
  ConnectionSettings settings;
  settings.port = peer.Port();
  settings.security = Security::None;
  settings.connectTimeout = std::chrono::seconds(10);
  settings.replyTimeout = std::chrono::seconds(10);
  settings.idleSessionTimeout = std::chrono::seconds(0);
  settings.ehloName = "client.test";
  return settings;
}

// For tests that wait for a time-out to happen.
inline ConnectionSettings ImpatientSettings(const peer::SmtpPeer& peer) {
  ConnectionSettings settings = PeerSettings(peer);
  settings.replyTimeout = std::chrono::seconds(1);
  return settings;
}

// A complete, valid mail to the peer.
inline void FillMail(OutgoingMail& mail, const ConnectionSettings& settings) {
  mail.SetServer("127.0.0.1");
  mail.SetConnectionSettings(settings);
  mail.SetSenderAddress("sender@example.com");
  mail.SetSenderName("Sender");
  mail.AddRecipient("to@example.com");
  mail.SetSubject("Subject");
  mail.SetBody("Body\n");
  mail.SetMailerIdentification("KVR Quillpost v1.0");
}

// Runs Send and returns the failure number, 0 when it went through.
inline int SendNumber(OutgoingMail& mail, SendFailure* caught = nullptr) {
  try {
    mail.Send();
    return 0;
  } catch (const SendFailure& failure) {
    if (caught != nullptr) {
      *caught = failure;
    }
    return failure.Number();
  }
}

inline void WriteFile(const std::filesystem::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

// Closes the kept sessions after every test so none leaks into the next.
class SessionCacheGuard : public ::testing::Test {
 protected:
  void TearDown() override { SessionCache::Process().CloseAll(); }
};

}  // namespace quillpost::smtp::test
