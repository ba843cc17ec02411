// Encodings and checks that the message text and the command lines rely on.

#include <gtest/gtest.h>

#include <cctype>

#include "mail/address_syntax.h"
#include "mail/content_type.h"
#include "mail/header_encoding.h"
#include "mail/message_builder.h"
#include "mail/transfer_encoding.h"

namespace quillpost::smtp {
namespace {

std::vector<std::string> CrlfLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find("\r\n", start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) {
      break;
    }
    start = end + 2;
  }
  return lines;
}

// Every line break is CR LF, no line is longer than `limit`, and continuation
// lines start with a blank (so no value can start a header of its own).
void ExpectWellFoldedField(const std::string& field, std::size_t limit) {
  ASSERT_TRUE(field.ends_with("\r\n"));
  const auto lines = CrlfLines(field);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_LE(lines[i].size(), limit) << lines[i];
    EXPECT_EQ(lines[i].find_first_of("\r\n"), std::string::npos);
    if (i > 0) {
      EXPECT_TRUE(lines[i].starts_with(" ")) << lines[i];
    }
  }
}

TEST(AddressSyntax, Recipients) {
  for (const char* good :
       {"a@example.com", "first.last+tag@sub.example.co.uk", "\"quoted name\"@example.com",
        "x@[192.0.2.1]", "x@[IPv6:2001:db8::1]", "o'brien@example.ie", "user@localhost"}) {
    EXPECT_TRUE(IsValidRecipientAddress(good)) << good;
  }
  for (const char* bad :
       {"", "plain", "@example.com", "a@", "a@@example.com", "a b@example.com", ".a@example.com",
        "a..b@example.com", "a@-example.com", "a@example..com", "a@example.com.", "<a@example.com>",
        "a@example.com>", "a@exa\rmple.com", "a@example.com\n", "\"unterminated@example.com",
        "a@[300.1.1.1]", "zoë@example.com", "a@exämple.com"}) {
    EXPECT_FALSE(IsValidRecipientAddress(bad)) << bad;
  }
  EXPECT_FALSE(IsValidRecipientAddress(std::string("a\0b@example.com", 15)));
  EXPECT_FALSE(IsValidRecipientAddress(std::string(65, 'a') + "@example.com"));
  EXPECT_FALSE(IsValidRecipientAddress("a@" + std::string(250, 'b') + ".com"));
}

TEST(AddressSyntax, SendersServersAndEhloNames) {
  EXPECT_TRUE(IsSafeSenderAddress("me@example.com"));
  EXPECT_TRUE(IsSafeSenderAddress("postmaster"));
  for (const char* bad : {"", "me@example.com>", "<me", "me @example.com", "me@example.com\r\n",
                          "m\te@example.com"}) {
    EXPECT_FALSE(IsSafeSenderAddress(bad)) << bad;
  }
  EXPECT_FALSE(IsSafeSenderAddress(std::string("me\0@example.com", 15)));

  for (const char* good : {"smtp.example.com", "relay_host", "127.0.0.1", "::1", "[::1]"}) {
    EXPECT_TRUE(IsValidServerName(good)) << good;
  }
  for (const char* bad : {"", "two words", "host/path", "user@host", "[127.0.0.1]", "host:25"}) {
    EXPECT_FALSE(IsValidServerName(bad)) << bad;
  }
  EXPECT_TRUE(IsValidEhloName("client.example.com"));
  EXPECT_TRUE(IsValidEhloName("[192.0.2.7]"));
  EXPECT_FALSE(IsValidEhloName("bad name"));
  EXPECT_FALSE(IsValidEhloName("bad\r\nMAIL"));
}

TEST(TransferEncoding, Base64KnownValuesAndLineLength) {
  EXPECT_EQ(Base64(""), "");
  EXPECT_EQ(Base64("f"), "Zg==");
  EXPECT_EQ(Base64("fo"), "Zm8=");
  EXPECT_EQ(Base64("foo"), "Zm9v");
  EXPECT_EQ(Base64(std::string("\xff\xfe\x00", 3)), "//4A");
  const std::string lines = Base64Lines(std::string(1000, 'x'));
  for (const std::string& line : CrlfLines(lines)) {
    EXPECT_LE(line.size(), 76u);
  }
  EXPECT_EQ(Base64Lines(std::string(57, 'x')).size(), 78u);  // one full line and its CR LF
}

TEST(TransferEncoding, QuotedPrintable) {
  EXPECT_EQ(QuotedPrintable("a=b"), "a=3Db");
  EXPECT_EQ(QuotedPrintable("Grüße"), "Gr=C3=BC=C3=9Fe");
  EXPECT_EQ(QuotedPrintable("end  \r\nnext\t"), "end =20\r\nnext=09");
  EXPECT_EQ(QuotedPrintable(std::string("nul\0", 4)), "nul=00");
  EXPECT_EQ(QuotedPrintable("bare\rcr"), "bare=0Dcr");

  const std::string encoded =
      QuotedPrintable(std::string(200, 'x') + "\r\n" + std::string(300, '\xe4'));
  for (const std::string& line : CrlfLines(encoded)) {
    EXPECT_LE(line.size(), 76u) << line;
  }
  // Every "=" starts a whole escape, except the one of a soft line break.
  for (const std::string& line : CrlfLines(encoded)) {
    for (std::size_t i = line.find('='); i != std::string::npos; i = line.find('=', i + 1)) {
      if (i + 1 == line.size()) {
        break;
      }
      ASSERT_LE(i + 3, line.size()) << line;
      EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(line[i + 1])) &&
                  std::isxdigit(static_cast<unsigned char>(line[i + 2])))
          << line;
    }
  }
}

TEST(TransferEncoding, LineEndingsSevenBitAndUtf8) {
  EXPECT_EQ(NormaliseLineEndings("a\nb\rc\r\nd\n\r"), "a\r\nb\r\nc\r\nd\r\n\r\n");
  EXPECT_TRUE(FitsSevenBit("plain text\r\nwith\ttab\r\n"));
  EXPECT_TRUE(FitsSevenBit(std::string(998, 'x')));
  EXPECT_FALSE(FitsSevenBit(std::string(999, 'x')));
  EXPECT_FALSE(FitsSevenBit("caf\xc3\xa9"));
  EXPECT_FALSE(FitsSevenBit("bare\nlf"));
  EXPECT_FALSE(FitsSevenBit(std::string("nul\0", 4)));

  EXPECT_EQ(ValidUtf8("Grüße 日本 🎉"), "Grüße 日本 🎉");
  EXPECT_EQ(ValidUtf8("a\xff"
                      "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(ValidUtf8("\xc0\xaf"), "\xEF\xBF\xBD\xEF\xBF\xBD");                  // overlong
  EXPECT_EQ(ValidUtf8("\xed\xa0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
  EXPECT_EQ(ValidUtf8("cut \xe6\x97"), "cut \xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(HeaderEncoding, PlainAsciiStaysReadableAndFolds) {
  EXPECT_EQ(UnstructuredField("Subject", "Monthly report"), "Subject: Monthly report\r\n");
  EXPECT_EQ(UnstructuredField("Subject", ""), "Subject: \r\n");
  std::string words;
  for (int i = 0; i < 40; ++i) {
    words += "word" + std::to_string(i) + " ";
  }
  const std::string field = UnstructuredField("Subject", words);
  ExpectWellFoldedField(field, 78);
  EXPECT_EQ(field.find("=?"), std::string::npos);
}

TEST(HeaderEncoding, AnythingElseBecomesEncodedWordsOfWholeCharacters) {
  for (const std::string& value :
       {std::string("Grüße"), std::string(3000, 'x'), std::string("has =?odd?= text"),
        std::string(200, '\xe6') /* invalid UTF-8 */,
        std::string("日本語の件名") + std::string(90, 'a')}) {
    const std::string field = UnstructuredField("Subject", value);
    ExpectWellFoldedField(field, 76);
    EXPECT_NE(field.find("=?UTF-8?B?"), std::string::npos);
  }
}

TEST(HeaderEncoding, LineBreaksInValuesBecomeSpaces) {
  EXPECT_EQ(SingleLineText("a\r\nb\n\nc\rd\te\x01"), "a b c d e ");
  const std::string field = UnstructuredField("Subject", "Hi\r\nBcc: x@example.com");
  EXPECT_EQ(field, "Subject: Hi Bcc: x@example.com\r\n");
}

TEST(HeaderEncoding, Mailboxes) {
  EXPECT_EQ(MailboxField("From", "", "a@example.com"), "From: <a@example.com>\r\n");
  EXPECT_EQ(MailboxField("From", "Ann Lee", "a@example.com"), "From: Ann Lee <a@example.com>\r\n");
  EXPECT_EQ(MailboxField("From", "Lee, Ann \"A\"", "a@example.com"),
            "From: \"Lee, Ann \\\"A\\\"\" <a@example.com>\r\n");
  const std::string encoded = MailboxField("From", "Zoë", "a@example.com");
  EXPECT_TRUE(encoded.starts_with("From: =?UTF-8?B?")) << encoded;
  EXPECT_TRUE(encoded.ends_with(" <a@example.com>\r\n"));
  ExpectWellFoldedField(MailboxField("From", std::string(300, 'n'), "a@example.com"), 78);
  ExpectWellFoldedField(MailboxField("From", "Ann\r\nBcc: x@example.com", "a@example.com"), 78);

  std::vector<std::string> many(30, "someone@example.com");
  ExpectWellFoldedField(AddressListField("To", many), 78);
}

TEST(HeaderEncoding, MimeParameters) {
  EXPECT_EQ(MimeParameter("filename", "report.pdf"), ";\r\n filename=\"report.pdf\"");
  EXPECT_EQ(MimeParameter("filename", "a\"b.txt"), ";\r\n filename=\"a\\\"b.txt\"");
  EXPECT_EQ(MimeParameter("filename", "ü.txt"), ";\r\n filename*=UTF-8''%C3%BC.txt");
  EXPECT_EQ(MimeParameter("filename", "a\r\nb"), ";\r\n filename*=UTF-8''a%0D%0Ab");
  const std::string longName = MimeParameter("filename", std::string(100, '\xc3') + "");
  const std::string sections = MimeParameter("filename", "Größe " + std::string(80, 'z') + "ü.pdf");
  ExpectWellFoldedField(sections + "\r\n", 78);
  EXPECT_NE(sections.find("filename*0*=UTF-8''Gr%C3%B6%C3%9Fe%20"), std::string::npos) << sections;
  EXPECT_NE(sections.find("filename*1*="), std::string::npos);
  // No section ends inside a %XX escape.
  for (const std::string& line : CrlfLines(sections)) {
    const std::size_t percent = line.rfind('%');
    if (percent != std::string::npos) {
      EXPECT_GE(line.size() - percent, 3u) << line;
    }
  }
  ExpectWellFoldedField(longName + "\r\n", 78);
}

TEST(ContentType, GuessedFromTheExtension) {
  EXPECT_EQ(ContentTypeForFileName("a.pdf"), "application/pdf");
  EXPECT_EQ(ContentTypeForFileName("A.JPG"), "image/jpeg");
  EXPECT_EQ(ContentTypeForFileName("archive.tar.gz"), "application/gzip");
  EXPECT_EQ(ContentTypeForFileName("x.docx"),
            "application/vnd.openxmlformats-officedocument.wordprocessingml.document");
  EXPECT_EQ(ContentTypeForFileName("noextension"), "application/octet-stream");
  EXPECT_EQ(ContentTypeForFileName(".hidden"), "application/octet-stream");
  EXPECT_EQ(ContentTypeForFileName("mail.eml"), "application/octet-stream");
  EXPECT_EQ(ContentTypeForFileName("x.unknownext"), "application/octet-stream");
}

TEST(Message, DateIsRfc5322WhateverTheLocale) {
  const auto date = Rfc5322Date(std::chrono::system_clock::from_time_t(0));
  // "Thu, 01 Jan 1970 00:00:00 +0000" in UTC; the day and zone shift with TZ.
  EXPECT_EQ(date.size(), 31u) << date;
  EXPECT_EQ(date[3], ',');
  EXPECT_TRUE(date[26] == '+' || date[26] == '-') << date;
}

TEST(Message, NoLineLongerThan998AndBoundariesWellFormed) {
  MessageContent content;
  content.senderAddress = "a@example.com";
  content.recipients = {"b@example.com"};
  content.subject = std::string(5000, 's');
  content.body = std::string(5000, 'b');
  content.attachments.push_back({std::string(300, 'n') + ".txt", std::string(5000, '\x01')});
  content.messageIdDomain = "example.com";
  const std::string message = BuildMessage(content);
  for (const std::string& line : CrlfLines(message)) {
    EXPECT_LE(line.size(), 998u);
  }
  EXPECT_EQ(message.find('\n'), message.find("\r\n") + 1);
  const std::size_t at = message.find("boundary=\"");
  ASSERT_NE(at, std::string::npos);
  const std::string boundary = message.substr(at + 10, message.find('"', at + 10) - at - 10);
  EXPECT_TRUE(message.ends_with("\r\n--" + boundary + "--\r\n"));
}

}  // namespace
}  // namespace quillpost::smtp
