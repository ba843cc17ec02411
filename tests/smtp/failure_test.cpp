// Each way a send can fail, and the number it is reported with.

#include <gtest/gtest.h>

#include "mail_test_support.h"

namespace quillpost::smtp::test {
namespace {

using peer::SmtpPeer;
using peer::SmtpPeerOptions;

struct Refusal {
  std::string stage;
  int code;
  int expectedNumber;
};

void PrintTo(const Refusal& refusal, std::ostream* out) {
  *out << refusal.stage << " " << refusal.code;
}

class RefusedAtStage : public ::testing::TestWithParam<Refusal> {};

TEST_P(RefusedAtStage, CarriesTheStageNumberAndTheServersReply) {
  const Refusal refusal = GetParam();
  SmtpPeerOptions options;
  options.refuse[refusal.stage] = refusal.code;
  if (refusal.stage == "ehlo") {
    options.refuse["helo"] = refusal.code;  // after EHLO the client tries HELO
  }
  SmtpPeer peer(options);
  OutgoingMail mail;
  FillMail(mail, PeerSettings(peer));
  SendFailure failure(0, "");
  EXPECT_EQ(SendNumber(mail, &failure), refusal.expectedNumber) << failure.what();
  EXPECT_EQ(failure.ReplyCode(), refusal.code);
  EXPECT_NE(failure.ReplyText().find("refused by the test peer"), std::string::npos)
      << failure.ReplyText();
  EXPECT_TRUE(peer.Messages().empty());
}

INSTANTIATE_TEST_SUITE_P(Stages, RefusedAtStage,
                         ::testing::Values(Refusal{"greeting", 554, failure::kNotListening},
                                           Refusal{"ehlo", 502, failure::kNotListening},
                                           Refusal{"mail", 550, failure::kSenderRefused},
                                           Refusal{"rcpt", 550, failure::kRecipientRefused},
                                           Refusal{"data", 554, failure::kDataRefused},
                                           Refusal{"content", 552, 552},
                                           Refusal{"content", 554, 554}),
                         [](const auto& info) {
                           return info.param.stage + std::to_string(info.param.code);
                         });

TEST(Failure, RefusedRecipientsAreNamedAndTheOthersGetTheMail) {
  SmtpPeerOptions options;
  options.refuseRecipient["second@example.org"] = 550;
  options.refuseRecipient["to@example.com"] = 450;
  SmtpPeer peer(options);
  OutgoingMail mail;
  FillMail(mail, PeerSettings(peer));
  mail.AddRecipient("second@example.org");
  mail.AddRecipient("third@example.org");
  EXPECT_EQ(SendNumber(mail), 0);
  ASSERT_EQ(peer.Messages().size(), 1U);
  EXPECT_EQ(peer.Messages()[0].envelopeTo, (std::vector<std::string>{"third@example.org"}));
  ASSERT_EQ(mail.RefusedRecipients().size(), 2U);
  EXPECT_STREQ(mail.RefusedRecipients()[0].what(), "to@example.com");
  EXPECT_EQ(mail.RefusedRecipients()[0].ReplyCode(), 450);
  EXPECT_STREQ(mail.RefusedRecipients()[1].what(), "second@example.org");
  EXPECT_EQ(mail.RefusedRecipients()[1].ReplyCode(), 550);

  // Every recipient refused: nothing goes out.
  SmtpPeer allRefusing(options);
  OutgoingMail none;
  FillMail(none, PeerSettings(allRefusing));
  none.AddRecipient("second@example.org");
  EXPECT_EQ(SendNumber(none), failure::kRecipientRefused);
  EXPECT_TRUE(allRefusing.Messages().empty());
  for (const std::string& command : allRefusing.Commands()) {
    EXPECT_EQ(command.find("DATA"), std::string::npos) << command;
  }
}

TEST(Failure, UserNameWithoutAuthOnTheServerIsItsOwnFailureAndSendsNothing) {
  SmtpPeer peer;  // offers no AUTH
  ConnectionSettings settings = PeerSettings(peer);
  settings.user = "ann";
  settings.password = "secret";
  settings.allowPlainTextAuth = true;
  OutgoingMail mail;
  FillMail(mail, settings);
  SendFailure caught(0, "");
  EXPECT_EQ(SendNumber(mail, &caught), failure::kAuthenticationImpossible);
  EXPECT_NE(std::string(caught.what()).find("offers no AUTH"), std::string::npos) << caught.what();
  EXPECT_TRUE(peer.Messages().empty());
}

struct Stall {
  std::string stage;
  int expectedNumber;
};

void PrintTo(const Stall& stall, std::ostream* out) {
  *out << stall.stage;
}

class StallAtStage : public ::testing::TestWithParam<Stall> {};

TEST_P(StallAtStage, TimesOutWithTheStageNumber) {
  SmtpPeerOptions options;
  options.stall = GetParam().stage;
  SmtpPeer peer(options);
  OutgoingMail mail;
  FillMail(mail, ImpatientSettings(peer));
  SendFailure failure(0, "");
  EXPECT_EQ(SendNumber(mail, &failure), GetParam().expectedNumber) << failure.what();
  EXPECT_EQ(failure.ReplyCode(), 0);
}

INSTANTIATE_TEST_SUITE_P(Stages, StallAtStage,
                         ::testing::Values(Stall{"greeting", failure::kNotListening},
                                           Stall{"ehlo", failure::kNotListening},
                                           Stall{"rcpt", failure::kRecipientRefused},
                                           Stall{"content", failure::kTimedOutReceiving}),
                         [](const auto& info) { return info.param.stage; });

TEST(Failure, ServerThatStopsReadingTheMessageTimesOut) {
  SmtpPeerOptions options;
  options.stall = "receiving";
  SmtpPeer peer(options);
  const auto big = peer.Folder() / "big.bin";
  WriteFile(big, std::string(std::size_t{8} * 1024 * 1024, 'a'));
  OutgoingMail mail;
  FillMail(mail, ImpatientSettings(peer));
  mail.AddAttachment(big.string());
  EXPECT_EQ(SendNumber(mail), failure::kTimedOutReceiving);
}

TEST(Failure, ServerThatCannotBeFoundOrReached) {
  ConnectionSettings settings;
  settings.port = peer::FreePort();  // nothing listens there
  settings.security = Security::None;
  settings.idleSessionTimeout = std::chrono::seconds(0);
  settings.connectTimeout = std::chrono::seconds(5);  // bounds the name lookup too
  for (const auto& [host, expected] :
       std::vector<std::pair<std::string, int>>{{"127.0.0.1", failure::kNoConnection},
                                                {"", failure::kHostNotFound},
                                                {"no such host", failure::kHostNotFound},
                                                {"host.invalid", failure::kHostNotFound}}) {
    OutgoingMail mail;
    FillMail(mail, settings);
    mail.SetServer(host);
    SendFailure failure(0, "");
    EXPECT_EQ(SendNumber(mail, &failure), expected) << host << ": " << failure.what();
  }
}

TEST(Failure, BadAddressesAndAttachmentsAreFoundBeforeConnecting) {
  SmtpPeer peer;
  const auto regular = peer.Folder() / "regular.txt";
  WriteFile(regular, "x");
  const auto check = [&](const std::function<void(OutgoingMail&)>& spoil, int expected) {
    OutgoingMail mail;
    FillMail(mail, PeerSettings(peer));
    spoil(mail);
    EXPECT_EQ(SendNumber(mail), expected);
  };
  check([](OutgoingMail& m) { m.AddRecipient("not an address"); }, failure::kRecipientInvalid);
  check([](OutgoingMail& m) { m.AddRecipient("a@b@c"); }, failure::kRecipientInvalid);
  check([](OutgoingMail& m) { m.AddRecipient(std::string("nul\0@example.com", 16)); },
        failure::kRecipientInvalid);
  check([](OutgoingMail& m) { m.SetSenderAddress(""); }, failure::kSenderRefused);
  check([](OutgoingMail& m) { m.SetSenderAddress("<me@example.com>"); }, failure::kSenderRefused);
  check([&](OutgoingMail& m) { m.AddAttachment((peer.Folder() / "missing.pdf").string()); },
        failure::kAttachmentMissing);
  check([&](OutgoingMail& m) { m.AddAttachment((regular / "below-a-file").string()); },
        failure::kAttachmentMissing);
  check([&](OutgoingMail& m) { m.AddAttachment(peer.Folder().string()); },
        failure::kAttachmentUnreadable);
  OutgoingMail noRecipient;
  noRecipient.SetServer("127.0.0.1");
  noRecipient.SetSenderAddress("sender@example.com");
  EXPECT_EQ(SendNumber(noRecipient), failure::kRecipientInvalid);
  EXPECT_EQ(peer.Connections(), 0);
}

TEST(Failure, AttachmentsOverTheTotalSizeAreRefusedBeforeConnecting) {
  SmtpPeer peer;
  const auto file = peer.Folder() / "six.txt";
  WriteFile(file, "123456");
  ConnectionSettings settings = PeerSettings(peer);
  settings.attachments.maxTotalSize = 12;
  OutgoingMail fits;
  FillMail(fits, settings);
  fits.AddAttachment(file.string());
  fits.AddAttachment(file.string());
  EXPECT_EQ(SendNumber(fits), 0);
  OutgoingMail tooLarge;
  FillMail(tooLarge, settings);
  for (int i = 0; i < 3; ++i) {
    tooLarge.AddAttachment(file.string());
  }
  SendFailure failure(0, "");
  EXPECT_EQ(SendNumber(tooLarge, &failure), failure::kAttachmentUnreadable);
  EXPECT_NE(std::string(failure.what()).find("max_attachment_size"), std::string::npos);
  EXPECT_EQ(peer.Connections(), 1);
}

TEST(Failure, AttachmentRulesAreEnforcedBeforeConnecting) {
  SmtpPeer peer;
  const auto root = peer.Folder() / "out";
  std::filesystem::create_directory(root);
  WriteFile(root / "fine.txt", "x");
  const auto secret = peer.Folder() / "secret.conf";
  WriteFile(secret, "password");
  std::filesystem::create_symlink(secret, root / "link.txt");
  std::filesystem::create_hard_link(secret, root / "hard.txt");
  ConnectionSettings settings = PeerSettings(peer);
  settings.attachments.roots = std::vector<std::string>{root.string()};
  settings.attachments.forbidden = {secret.string()};
  const auto send = [&](const std::filesystem::path& file) {
    OutgoingMail mail;
    FillMail(mail, settings);
    mail.AddAttachment(file.string());
    return SendNumber(mail);
  };
  EXPECT_EQ(send(root / "fine.txt"), 0);
  EXPECT_EQ(send(root / "link.txt"), failure::kAttachmentUnreadable);  // leads outside
  EXPECT_EQ(send(root / ".." / "secret.conf"), failure::kAttachmentUnreadable);
  EXPECT_EQ(send(root / "hard.txt"), failure::kAttachmentUnreadable);  // the relay's own
  settings.attachments.roots.reset();
  EXPECT_EQ(send(secret), failure::kAttachmentUnreadable);
  settings.attachments.refusal = "the queue is shared";
  EXPECT_EQ(send(root / "fine.txt"), failure::kAttachmentUnreadable);
  EXPECT_EQ(peer.Connections(), 1);
}

TEST(Failure, AttachmentRootsJudgeWhereTheFileReallyIs) {
  SmtpPeer peer;
  const auto root = peer.Folder() / "out";
  std::filesystem::create_directory(root);
  const auto outside = peer.Folder() / "outside.txt";  // refused by no other rule
  WriteFile(outside, "x");
  std::filesystem::create_symlink(outside, root / "link.txt");
  ConnectionSettings settings = PeerSettings(peer);
  settings.attachments.roots = std::vector<std::string>{root.string()};
  for (const auto& path : {root / "link.txt", root / ".." / "outside.txt"}) {
    OutgoingMail mail;
    FillMail(mail, settings);
    mail.AddAttachment(path.string());
    SendFailure failure(0, "");
    EXPECT_EQ(SendNumber(mail, &failure), failure::kAttachmentUnreadable) << path;
    EXPECT_NE(std::string(failure.what()).find("attachment_roots"), std::string::npos)
        << failure.what();
  }
  EXPECT_EQ(peer.Connections(), 0);
}

TEST(Failure, HostsThatDoNotTakeTheSessionPassTheMailToTheNext) {
  SmtpPeerOptions busy;
  busy.refuse["greeting"] = 421;
  SmtpPeer refusing(busy);
  SmtpPeer good;
  const std::string goodItem = "127.0.0.1:" + std::to_string(good.Port());
  OutgoingMail mail;
  FillMail(mail, PeerSettings(good));
  mail.SetServer("127.0.0.1:" + std::to_string(peer::FreePort()) +
                 ", 127.0.0.1:" + std::to_string(refusing.Port()) + " " + goodItem);
  EXPECT_EQ(SendNumber(mail), 0);
  EXPECT_EQ(mail.ServerUsed(), goodItem);
  EXPECT_EQ(refusing.Connections(), 1);
  EXPECT_EQ(good.Messages().size(), 1u);

  SmtpPeerOptions refuseSender;
  refuseSender.refuse["mail"] = 451;
  SmtpPeer refusingMail(refuseSender);
  OutgoingMail stays;
  FillMail(stays, PeerSettings(good));
  stays.SetServer("127.0.0.1:" + std::to_string(refusingMail.Port()) + "," + goodItem);
  EXPECT_EQ(SendNumber(stays), failure::kSenderRefused);  // the mail's own answer
  EXPECT_EQ(good.Messages().size(), 1u);
}

TEST(Failure, TroubleEndingTheSessionAfterAcceptanceIsOnlyAWarning) {
  for (const bool stall : {false, true}) {
    SmtpPeerOptions options;
    if (stall) {
      options.stall = "quit";
    } else {
      options.refuse["quit"] = 500;
    }
    SmtpPeer peer(options);
    OutgoingMail mail;
    FillMail(mail, ImpatientSettings(peer));
    EXPECT_NO_THROW(mail.Send());
    ASSERT_TRUE(mail.Warning().has_value()) << stall;
    EXPECT_EQ(mail.Warning()->Number(), failure::kSessionNotEnded);
    EXPECT_EQ(peer.Messages().size(), 1u);
  }
}

}  // namespace
}  // namespace quillpost::smtp::test
