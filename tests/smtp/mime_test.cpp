// The message text as a MIME parser (GMime's own) reads it back, and the
// checks that the command lines rely on.

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "mail/content_type.h"
#include "mail/delivery_notice.h"
#include "mail/header_text.h"
#include "mail/message_builder.h"
#include "message/address_syntax.h"

namespace quillpost::smtp {

using message::IsSafeSenderAddress;
using message::IsValidEhloName;
using message::IsValidRecipientAddress;
using message::IsValidServerName;
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

TEST(DeliveryNotice, StatusIsTheReplysEnhancedCodeElseTheFallback) {
  EXPECT_EQ(EnhancedStatus("550 5.1.1 no such user", "5.0.0"), "5.1.1");
  EXPECT_EQ(EnhancedStatus("452-4.2.2 mailbox full", "4.0.0"), "4.2.2");
  EXPECT_EQ(EnhancedStatus("550 no such user 5.1.1", "5.0.0"), "5.0.0");
  EXPECT_EQ(EnhancedStatus("550 5.1.1x", "5.0.0"), "5.0.0");
  EXPECT_EQ(EnhancedStatus("", "4.4.7"), "4.4.7");
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

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

std::string Repeated(std::string_view text, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) {
    out += text;
  }
  return out;
}

// GMime starts an encoded word on the field's first line without counting the
// field's name, and reads a folded display name back with the fold in it.
constexpr std::size_t kFoldedLineLength = 100;

std::string Unfolded(std::string text) {
  for (const char* fold : {"\r\n\t", "\r\n "}) {
    for (std::size_t at = text.find(fold); at != std::string::npos; at = text.find(fold, at)) {
      text.replace(at, 3, " ");
    }
  }
  return text;
}

std::string WithLfBreaks(std::string text) {
  for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) {
    text.erase(at, 1);
  }
  return text;
}

// The header block of a message or of one part, up to the empty line.
std::string HeaderBlock(const std::string& text, std::size_t from = 0) {
  return text.substr(from, text.find("\r\n\r\n", from) + 2 - from);
}

class Message : public ::testing::Test {
 protected:
  void SetUp() override {
    content_.senderAddress = "a@example.com";
    content_.senderName = "Sender";
    content_.recipients = {"b@example.com"};
    content_.subject = "Subject";
    content_.body = "Body";
    content_.mailer = "KVR Quillpost v1.0";
    content_.messageIdDomain = "example.com";
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string Build(std::chrono::system_clock::time_point date = std::chrono::system_clock::now()) {
    // Read out in odd pieces, as libcurl might ask for them.
    MessageText message = BuildMessage(content_, date);
    std::string text;
    std::array<char, 1000> block{};
    while (const std::size_t got = message.Read(block.data(), block.size())) {
      text.append(block.data(), got);
    }
    EXPECT_EQ(text.size(), message.Size());
    return text;
  }

  // An attachment shown under `name` (which need not be a possible file name).
  void Attach(const std::string& name, const std::string& data) {
    std::filesystem::create_directories(folder_);
    const auto path = folder_ / std::to_string(content_.attachments.size());
    std::ofstream(path, std::ios::binary) << data;
    content_.attachments.push_back(OpenAttachment(path.string()));
    content_.attachments.back().fileName = name;
  }

  static GObjectPtr<GMimeMessage> Parse(const std::string& text) {
    const auto stream = Own(g_mime_stream_mem_new_with_buffer(text.data(), text.size()));
    const auto parser = Own(g_mime_parser_new_with_stream(stream.get()));
    auto message = Own(g_mime_parser_construct_message(parser.get(), nullptr));
    EXPECT_NE(message, nullptr);
    return message;
  }

  static std::string Decoded(GMimeObject* part) {
    const auto out = Own(g_mime_stream_mem_new());
    g_mime_data_wrapper_write_to_stream(g_mime_part_get_content(GMIME_PART(part)), out.get());
    const GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out.get()));
    return {reinterpret_cast<const char*>(bytes->data), bytes->len};
  }

  static std::string SenderName(GMimeMessage* message) {
    const char* name = internet_address_get_name(
        internet_address_list_get_address(g_mime_message_get_from(message), 0));
    return name == nullptr ? "" : name;
  }

  MessageContent content_;
  std::filesystem::path folder_ =
      std::filesystem::temp_directory_path() / ("mime_test_" + std::to_string(::getpid()));
};

TEST_F(Message, HeaderValuesReadBackAsGiven) {
  std::string words;
  for (int i = 0; i < 40; ++i) {
    words += (i > 0 ? " word" : "word") + std::to_string(i);
  }
  for (const std::string& value :
       {std::string("Monthly report"), std::string("Grüße aus Köln – 日本語の件名"), words,
        std::string(3000, 'x'), std::string("has =?odd?= text"),
        std::string("=?UTF-8?B?SGk=?= is not encoded"), std::string("Lee, Ann \"A\" <x>"),
        std::string("日本語の件名") + std::string(90, 'a') + Repeated("ü", 40)}) {
    content_.subject = value;
    content_.senderName = value;
    content_.mailer = value;
    const std::string text = Build();
    const auto message = Parse(text);
    EXPECT_STREQ(g_mime_message_get_subject(message.get()), value.c_str());
    EXPECT_EQ(Unfolded(SenderName(message.get())), value);
    EXPECT_STREQ(g_mime_object_get_header(GMIME_OBJECT(message.get()), "X-Mailer"), value.c_str());
    const std::string headers = HeaderBlock(text);
    for (const std::string& line : CrlfLines(headers)) {
      EXPECT_LE(line.size(), kFoldedLineLength) << line;
    }
    EXPECT_EQ(headers.find("iso-8859"), std::string::npos) << headers;
  }
  content_.subject = std::string(200, '\xe6');  // not UTF-8
  EXPECT_STREQ(g_mime_message_get_subject(Parse(Build()).get()),
               Repeated(kReplacement, 200).c_str());
  content_.subject = "";
  EXPECT_NE(Build().find("\r\nSubject: \r\n"), std::string::npos);
}

TEST_F(Message, ValuesCannotAddHeaders) {
  EXPECT_EQ(SingleLineText("a\r\nb\n\nc\rd\te\x01"), "a b c d e ");
  content_.subject = "Hi\r\nBcc: x@example.com";
  content_.senderName = "Ann\r\nX-Evil-Name: 1";
  content_.mailer = "Mailer\nX-Evil-Mailer: 1";
  Attach("a\"b\r\nX-Evil-File: 1.txt", "data");
  const std::string text = Build();
  const auto message = Parse(text);
  EXPECT_STREQ(g_mime_message_get_subject(message.get()), "Hi Bcc: x@example.com");
  for (const char* name : {"\r\nBcc:", "\r\nX-Evil"}) {
    EXPECT_EQ(text.find(name), std::string::npos) << name;
  }
  // GMime writes a kept Message-ID as it is; a lone CR in it must not reach the wire.
  content_.messageId = "<a\r.\rMAIL FROM:<x@evil.example>@b>";
  for (const std::string& line : CrlfLines(Build())) {
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
  }
}

TEST_F(Message, BodiesReadBackAsGivenWithCrLfBreaks) {
  struct Case {
    std::string body;
    std::string expected;  // decoded, line breaks as LF
    const char* encoding;
  };
  const std::string longLine(1500, 'x');
  for (const Case& c : std::vector<Case>{
           {"", "", "7bit"},
           {"Body\n.\n..dots\n", "Body\n.\n..dots\n", "7bit"},
           {"From me\n", "From me\n", "quoted-printable"},  // safe from mbox quoting
           {"a=b\r\nline\rthree\n", "a=b\nline\nthree\n", "7bit"},
           {"Grüße\r\nend  \r\nnext\t", "Grüße\nend  \nnext\t", "quoted-printable"},
           {std::string("nul\0x", 5), std::string("nul\0x", 5), "quoted-printable"},
           {longLine + "\n.\nFrom me", longLine + "\n.\nFrom me", "quoted-printable"},
           {std::string(300, '\xe4'), Repeated(kReplacement, 300), "quoted-printable"}}) {
    content_.body = c.body;
    content_.attachments.clear();
    Attach("a.txt", "");  // so that the body ends where its part ends
    const std::string text = Build();
    const auto message = Parse(text);
    GMimeObject* part =
        g_mime_multipart_get_part(GMIME_MULTIPART(g_mime_message_get_mime_part(message.get())), 0);
    EXPECT_EQ(WithLfBreaks(Decoded(part)), c.expected);
    const std::string headers = HeaderBlock(text, text.find("Content-Type: text/plain"));
    EXPECT_NE(headers.find("charset=utf-8"), std::string::npos) << headers;
    EXPECT_NE(headers.find(std::string("Content-Transfer-Encoding: ") + c.encoding),
              std::string::npos)
        << headers;
    for (const std::string& line : CrlfLines(text)) {
      EXPECT_LE(line.size(), 76u) << line;
    }
  }
  content_.attachments.clear();
  content_.body = "No line break at the end";
  EXPECT_TRUE(Build().ends_with("\r\n\r\nNo line break at the end\r\n"));
}

TEST_F(Message, AttachmentsReadBackByteForByteUnderTheirNames) {
  const std::vector<std::string> names = {"report.pdf",
                                          "a\"b;c.txt",
                                          "back\\slash.txt",
                                          "ü.txt",
                                          "a\"b\r\nc\x01.txt",
                                          "Größe " + std::string(80, 'z') + "ü.pdf",
                                          std::string(300, 'n') + ".txt"};
  const std::string binary = Repeated(std::string("\x00\xff\r\n\x01.", 6), 1000);
  for (const std::string& name : names) {
    Attach(name, name == "report.pdf" ? binary : "");
  }
  const std::string text = Build();
  for (const std::string& line : CrlfLines(text)) {
    EXPECT_LE(line.size(), kFoldedLineLength) << line;
  }
  EXPECT_EQ(text.find("iso-8859"), std::string::npos);
  const auto message = Parse(text);
  GMimeMultipart* parts = GMIME_MULTIPART(g_mime_message_get_mime_part(message.get()));
  ASSERT_EQ(g_mime_multipart_get_count(parts), static_cast<int>(names.size() + 1));
  for (std::size_t i = 0; i < names.size(); ++i) {
    GMimeObject* part = g_mime_multipart_get_part(parts, static_cast<int>(i + 1));
    EXPECT_STREQ(g_mime_part_get_filename(GMIME_PART(part)), names[i].c_str());
    EXPECT_EQ(g_mime_part_get_content_encoding(GMIME_PART(part)), GMIME_CONTENT_ENCODING_BASE64);
    EXPECT_EQ(Decoded(part), i == 0 ? binary : "");
  }
  EXPECT_NE(text.find("Content-Type: application/pdf"), std::string::npos);
}

TEST_F(Message, AnAttachmentThatShrankBeforeItWentOutFailsTheMail) {
  Attach("log.txt", std::string(100000, 'x'));
  MessageText message = BuildMessage(content_);
  std::filesystem::resize_file(folder_ / "0", 10);
  std::array<char, 65536> block{};
  try {
    while (message.Read(block.data(), block.size()) > 0) {
    }
    FAIL() << "a shortened attachment went out";
  } catch (const SendFailure& failure) {
    EXPECT_EQ(failure.Number(), failure::kAttachmentUnreadable);
  }
}

TEST_F(Message, DateIsInTheLocalZoneWhateverTheLocale) {
  const char* kept = std::getenv("TZ");
  const std::string previous = kept == nullptr ? "" : kept;
  ::setenv("TZ", "EST5", 1);
  const std::string text = Build(std::chrono::system_clock::from_time_t(0));
  kept == nullptr ? ::unsetenv("TZ") : ::setenv("TZ", previous.c_str(), 1);
  EXPECT_NE(("\r\n" + text).find("\r\nDate: Wed, 31 Dec 1969 19:00:00 -0500\r\n"),
            std::string::npos)
      << HeaderBlock(text);
}

TEST_F(Message, NoLineLongerThan998AndBoundariesWellFormed) {
  content_.subject = std::string(5000, 's');
  content_.body = std::string(5000, 'b');
  Attach(std::string(300, 'n') + ".txt", std::string(5000, '\x01'));
  const std::string message = Build();
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
