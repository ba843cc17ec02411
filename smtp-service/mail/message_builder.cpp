#include "mail/message_builder.h"

#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <random>

#include "mail/content_type.h"
#include "mail/header_encoding.h"
#include "mail/transfer_encoding.h"

namespace quillpost::smtp {
namespace {

std::string RandomHex(std::size_t digits) {
  static thread_local std::mt19937_64 generator{[] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(), static_cast<unsigned>(::getpid())};
    return std::mt19937_64(seed);
  }()};
  static constexpr std::string_view kHex = "0123456789abcdef";
  std::string out;
  while (out.size() < digits) {
    std::uint64_t value = generator();
    for (int i = 0; i < 16 && out.size() < digits; ++i, value >>= 4) {
      out += kHex[value & 0x0f];
    }
  }
  return out;
}

// The body part: UTF-8 text, 7bit when it can travel as it is,
// quoted-printable otherwise.
std::string TextPart(const std::string& body) {
  const std::string text = NormaliseLineEndings(ValidUtf8(body));
  std::string out = "Content-Type: text/plain; charset=utf-8\r\n";
  if (FitsSevenBit(text)) {
    out += "Content-Transfer-Encoding: 7bit\r\n\r\n";
    out += text;
  } else {
    out += "Content-Transfer-Encoding: quoted-printable\r\n\r\n";
    out += QuotedPrintable(text);
  }
  return out;
}

void AppendAttachmentPart(std::string& out, const AttachmentFile& attachment) {
  out += "Content-Type: ";
  out += ContentTypeForFileName(attachment.fileName);
  out += MimeParameter("name", attachment.fileName);
  out += "\r\nContent-Disposition: attachment";
  out += MimeParameter("filename", attachment.fileName);
  out += "\r\nContent-Transfer-Encoding: base64\r\n\r\n";
  out += Base64Lines(attachment.content);
  if (!attachment.content.empty()) {
    out.resize(out.size() - 2);  // the delimiter brings its own line break
  }
}

bool EndsWithLineBreak(const std::string& text) {
  return text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0;
}

}  // namespace

std::string Rfc5322Date(std::chrono::system_clock::time_point when) {
  static constexpr std::array<const char*, 7> kDays = {"Sun", "Mon", "Tue", "Wed",
                                                       "Thu", "Fri", "Sat"};
  static constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  ::localtime_r(&seconds, &local);
  const long offsetMinutes = local.tm_gmtoff / 60;
  const long absolute = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
  std::array<char, 64> text{};
  std::snprintf(text.data(), text.size(), "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                kDays.at(static_cast<std::size_t>(local.tm_wday)), local.tm_mday,
                kMonths.at(static_cast<std::size_t>(local.tm_mon)), local.tm_year + 1900,
                local.tm_hour, local.tm_min, local.tm_sec, offsetMinutes < 0 ? '-' : '+',
                absolute / 60, absolute % 60);
  return text.data();
}

std::string NewMessageId(const std::string& domain) {
  static std::atomic<unsigned long> counter{0};
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  std::string id = "<";
  id += std::to_string(micros);
  id += '.';
  id += std::to_string(::getpid());
  id += '.';
  id += std::to_string(counter.fetch_add(1));
  id += '.';
  id += RandomHex(16);
  id += '@';
  id += domain;
  id += '>';
  return id;
}

std::string BuildMessage(const MessageContent& content,
                         std::chrono::system_clock::time_point date) {
  std::size_t expected = 8192 + content.body.size() * 3;
  for (const AttachmentFile& attachment : content.attachments) {
    expected += 1024 + attachment.content.size() / 57 * 78 + 80;
  }
  std::string out;
  out.reserve(expected);
  out += MailboxField("From", content.senderName, content.senderAddress);
  out += AddressListField("To", content.recipients);
  out += UnstructuredField("Subject", content.subject);
  out += "Date: " + Rfc5322Date(date) + "\r\n";
  out += "Message-ID: " +
         (content.messageId.empty() ? NewMessageId(content.messageIdDomain) : content.messageId) +
         "\r\n";
  out += "MIME-Version: 1.0\r\n";
  if (!content.mailer.empty()) {
    out += UnstructuredField("X-Mailer", content.mailer);
  }
  if (content.attachments.empty()) {
    out += TextPart(content.body);
    if (!EndsWithLineBreak(out)) {
      out += "\r\n";  // the data must end with a line break
    }
    return out;
  }
  // "=_" cannot occur in base64 or quoted-printable text, and the random part
  // makes a clash with a 7bit body practically impossible; check anyway.
  std::string boundary;
  const std::string text = TextPart(content.body);
  do {
    boundary = "=_quillpost_" + RandomHex(32);
  } while (text.find(boundary) != std::string::npos);
  out += "Content-Type: multipart/mixed;\r\n boundary=\"" + boundary + "\"\r\n\r\n";
  out += "This is a message in MIME format.\r\n";
  // The line break before each delimiter belongs to the delimiter, so a
  // part's own last line break survives.
  out += "--" + boundary + "\r\n";
  out += text;
  for (const AttachmentFile& attachment : content.attachments) {
    out += "\r\n--" + boundary + "\r\n";
    AppendAttachmentPart(out, attachment);
  }
  out += "\r\n--" + boundary + "--\r\n";
  return out;
}

}  // namespace quillpost::smtp
