// What arrives at the server: the message as an independent MIME parser
// (Python's email package, in the test peer) reads it.

#include <gtest/gtest.h>

#include <random>

#include "mail_test_support.h"

namespace quillpost::smtp::test {
namespace {

using peer::DeliveredMessage;
using peer::SmtpPeer;

std::string RandomBytes(std::size_t size) {
  std::mt19937 generator(42);
  std::string bytes(size, '\0');
  for (char& c : bytes) {
    c = static_cast<char>(generator() & 0xff);
  }
  return bytes;
}

DeliveredMessage OnlyMessage(const SmtpPeer& peer) {
  const auto messages = peer.Messages();
  EXPECT_EQ(messages.size(), 1u);
  return messages.empty() ? DeliveredMessage{} : messages.front();
}

TEST(Delivery, HeadersAndBodyReadBackAsWritten) {
  SmtpPeer peer;
  OutgoingMail mail;
  FillMail(mail, PeerSettings(peer));
  mail.SetSenderName("Zoë Ångström, \"Buchhaltung\"");
  mail.AddRecipient("second@example.org", "ignored");
  const std::string subject =
      "Grüße aus Köln – 日本語の件名 and a long tail of words that must be folded somewhere";
  mail.SetSubject(subject);
  const std::string longLine(1500, 'x');
  mail.SetBody("Hallo Zoë,\r\nline two\rline three\n" + longLine + "\n.\n..dots\ntrailing  \n");
  mail.Send();
  EXPECT_FALSE(mail.Warning().has_value());

  const DeliveredMessage message = OnlyMessage(peer);
  EXPECT_TRUE(message.defects.empty()) << message.raw.substr(0, 2000);
  EXPECT_LE(message.longestLine, 998u);
  EXPECT_EQ(message.envelopeFrom, "sender@example.com");
  EXPECT_EQ(message.envelopeTo, (std::vector<std::string>{"to@example.com", "second@example.org"}));
  EXPECT_EQ(message.Header("From"),
            std::vector<std::string>{"\"Zoë Ångström, \\\"Buchhaltung\\\"\" <sender@example.com>"});
  EXPECT_EQ(message.Header("To"), std::vector<std::string>{"to@example.com, second@example.org"});
  EXPECT_EQ(message.Header("Subject"), std::vector<std::string>{subject});
  EXPECT_EQ(message.Header("X-Mailer"), std::vector<std::string>{"KVR Quillpost v1.0"});
  EXPECT_EQ(message.Header("MIME-Version"), std::vector<std::string>{"1.0"});
  ASSERT_EQ(message.Header("Date").size(), 1u);
  ASSERT_EQ(message.Header("Message-ID").size(), 1u);
  EXPECT_TRUE(message.Header("Message-ID")[0].ends_with("@example.com>"));
  EXPECT_EQ(message.body,
            "Hallo Zoë,\nline two\nline three\n" + longLine + "\n.\n..dots\ntrailing  \n");
}

TEST(Delivery, EveryMessageGetsItsOwnMessageId) {
  SmtpPeer peer;
  for (int i = 0; i < 3; ++i) {
    OutgoingMail mail;
    FillMail(mail, PeerSettings(peer));
    mail.Send();
  }
  const auto messages = peer.Messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_NE(messages[0].Header("Message-ID"), messages[1].Header("Message-ID"));
  EXPECT_NE(messages[1].Header("Message-ID"), messages[2].Header("Message-ID"));
}

TEST(Delivery, AttachmentsArriveByteForByte) {
  SmtpPeer peer;
  const auto binary = peer.Folder() / "data.bin";
  const auto report = peer.Folder() / "Bericht über Größe – 2026 – ein sehr langer Dateiname.pdf";
  const auto text = peer.Folder() / "notes.TXT";
  const std::string binaryContent = RandomBytes(std::size_t{5} * 1024 * 1024);
  WriteFile(binary, binaryContent);
  WriteFile(report, "%PDF-1.4 fake");
  WriteFile(text, "");

  OutgoingMail mail;
  ConnectionSettings settings = PeerSettings(peer);
  settings.replyTimeout = std::chrono::seconds(30);  // the peer parses 5 MB before answering
  FillMail(mail, settings);
  mail.SetBody("See the files.");
  mail.AddAttachment(binary.string());
  mail.AddAttachment(report.string(), "ignored", "ignored too");
  mail.AddAttachment(text.string());
  mail.Send();

  const DeliveredMessage message = OnlyMessage(peer);
  EXPECT_TRUE(message.defects.empty());
  EXPECT_LE(message.longestLine, 998u);
  EXPECT_EQ(message.body, "See the files.");
  ASSERT_EQ(message.attachments.size(), 3u);
  EXPECT_EQ(message.attachments[0].fileName, "data.bin");
  EXPECT_EQ(message.attachments[0].contentType, "application/octet-stream");
  EXPECT_TRUE(message.attachments[0].content == binaryContent);
  EXPECT_EQ(message.attachments[1].fileName, report.filename().string());
  EXPECT_EQ(message.attachments[1].contentType, "application/pdf");
  EXPECT_EQ(message.attachments[1].content, "%PDF-1.4 fake");
  EXPECT_EQ(message.attachments[2].fileName, "notes.TXT");
  EXPECT_EQ(message.attachments[2].contentType, "text/plain");
  EXPECT_EQ(message.attachments[2].content, "");
}

TEST(Delivery, HostileValuesNeitherAddHeadersNorCommands) {
  SmtpPeer peer;
  const auto hostileFile = peer.Folder() / "a\"b\r\nX-Evil-File: 1.txt";
  WriteFile(hostileFile, "content");

  OutgoingMail mail;
  FillMail(mail, PeerSettings(peer));
  mail.SetSenderName("Eve\r\nX-Evil-Name: 1");
  mail.SetSubject("Hello\r\nBcc: victim@example.net\r\n\r\nfake body");
  mail.SetMailerIdentification("Mailer\nX-Evil-Mailer: 1");
  mail.SetBody("body\r\n.\r\nMAIL FROM:<evil@example.net>\r\n");
  mail.AddAttachment(hostileFile.string());
  mail.Send();

  const DeliveredMessage message = OnlyMessage(peer);
  for (const char* name : {"Bcc", "X-Evil-Name", "X-Evil-Mailer", "X-Evil-File"}) {
    EXPECT_TRUE(message.Header(name).empty()) << name;
  }
  EXPECT_EQ(message.Header("Subject"),
            std::vector<std::string>{"Hello Bcc: victim@example.net fake body"});
  EXPECT_EQ(message.envelopeTo, std::vector<std::string>{"to@example.com"});
  EXPECT_EQ(message.body, "body\n.\nMAIL FROM:<evil@example.net>\n");
  ASSERT_EQ(message.attachments.size(), 1u);
  EXPECT_EQ(message.attachments[0].fileName, hostileFile.filename().string());
  for (const std::string& command : peer.Commands()) {
    EXPECT_EQ(command.find("evil"), std::string::npos) << command;
  }
}

TEST(Delivery, AddressesThatWouldBreakACommandLineNeverReachTheServer) {
  SmtpPeer peer;
  {
    OutgoingMail mail;
    FillMail(mail, PeerSettings(peer));
    mail.AddRecipient("x@example.com>\r\nRCPT TO:<evil@example.net");
    EXPECT_EQ(SendNumber(mail), failure::kRecipientInvalid);
  }
  {
    // Quoting does not make a line break acceptable.
    OutgoingMail mail;
    FillMail(mail, PeerSettings(peer));
    mail.AddRecipient("\"a\r\nRCPT TO:<evil@example.net>\"@example.com");
    EXPECT_EQ(SendNumber(mail), failure::kRecipientInvalid);
  }
  {
    OutgoingMail mail;
    FillMail(mail, PeerSettings(peer));
    mail.SetSenderAddress("me@example.com> SIZE=1\r\nRCPT TO:<evil@example.net");
    EXPECT_EQ(SendNumber(mail), failure::kSenderRefused);
  }
  EXPECT_EQ(peer.Connections(), 0);
}

}  // namespace
}  // namespace quillpost::smtp::test
