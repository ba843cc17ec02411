#include "mail/message_builder.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>

#include "mail/content_type.h"
#include "mail/header_text.h"
#include "mail/outgoing_mail.h"

namespace quillpost::smtp {
namespace {

constexpr const char* kCharset = "utf-8";
// GLib's byte arrays count in 32 bits; leave room for a file that grows while it is read.
constexpr std::size_t kLargestMessage = G_MAXUINT - std::size_t{64} * 1024 * 1024;

struct DateTimeUnref {
  void operator()(GDateTime* date) const { g_date_time_unref(date); }
};

struct TimeZoneUnref {
  void operator()(GTimeZone* zone) const { g_time_zone_unref(zone); }
};

// date in local time. The zone is kept while TZ stays the same: without TZ,
// GLib reads /etc/localtime again for every zone it is asked for, a file
// lookup and a parse per mail. A change of the system's zone shows after a
// restart.
std::unique_ptr<GDateTime, DateTimeUnref> LocalTime(std::chrono::system_clock::time_point date) {
  static std::mutex mutex;
  static std::optional<std::string> zoneTz;
  static std::unique_ptr<GTimeZone, TimeZoneUnref> zone;
  const char* set = std::getenv("TZ");
  const std::optional<std::string> tz =
      set == nullptr ? std::nullopt : std::optional<std::string>(set);
  std::unique_ptr<GTimeZone, TimeZoneUnref> current;
  {
    const std::lock_guard lock(mutex);
    if (!zone || zoneTz != tz) {
      zone.reset(g_time_zone_new_local());
      zoneTz = tz;
    }
    current.reset(g_time_zone_ref(zone.get()));
  }
  const std::unique_ptr<GDateTime, DateTimeUnref> utc(
      g_date_time_new_from_unix_utc(std::chrono::system_clock::to_time_t(date)));
  return std::unique_ptr<GDateTime, DateTimeUnref>(
      g_date_time_to_timezone(utc.get(), current.get()));
}

// True when the text may travel as 7bit by GMime's measure: ASCII, no NUL,
// lines of at most 998 octets, and no line starting with "From ".
bool FitsSevenBit(std::string_view text) {
  const auto best = Own(g_mime_filter_best_new(GMIME_FILTER_BEST_ENCODING));
  char* out = nullptr;
  std::size_t outLength = 0;
  std::size_t outPrespace = 0;
  g_mime_filter_complete(best.get(), const_cast<char*>(text.data()), text.size(), 0, &out,
                         &outLength, &outPrespace);
  const GMimeContentEncoding encoding =
      g_mime_filter_best_encoding(GMIME_FILTER_BEST(best.get()), GMIME_ENCODING_CONSTRAINT_7BIT);
  return encoding == GMIME_CONTENT_ENCODING_DEFAULT || encoding == GMIME_CONTENT_ENCODING_7BIT;
}

// stream holds the content as it is, or already in the encoding when
// encoded is set.
void SetContent(GMimePart* part, GMimeStream* stream, GMimeContentEncoding encoding,
                bool encoded = false) {
  const auto wrapper = Own(g_mime_data_wrapper_new_with_stream(
      stream, encoded ? encoding : GMIME_CONTENT_ENCODING_DEFAULT));
  g_mime_part_set_content(part, wrapper.get());
  g_mime_part_set_content_encoding(part, encoding);
}

// The body part: UTF-8 text, 7bit when it can travel as it is,
// quoted-printable otherwise.
GObjectPtr<GMimeObject> TextPart(const std::string& text) {
  GObjectPtr<GMimeObject> part(GMIME_OBJECT(g_mime_text_part_new_with_subtype("plain")));
  g_mime_object_set_content_type_parameter(part.get(), "charset", kCharset);
  const auto stream = Own(g_mime_stream_mem_new_with_buffer(text.data(), text.size()));
  SetContent(
      GMIME_PART(part.get()), stream.get(),
      FitsSevenBit(text) ? GMIME_CONTENT_ENCODING_7BIT : GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE);
  return part;
}

bool HasControlCharacter(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// A file name parameter, RFC 2231 in UTF-8 when it is not ASCII or too long
// for a quoted string.
void SetFileNameParameter(GMimeParamList* list, const char* name, const std::string& value) {
  g_mime_param_list_set_parameter(list, name, value.c_str());
  g_mime_param_set_charset(g_mime_param_list_get_parameter(list, name), "UTF-8");
}

// GMime writes a short ASCII parameter value as a quoted string even when it
// holds control characters, so a line break in a file name would end the
// field. Such a name is written here as an RFC 2231 extended value instead,
// percent-encoded by GLib (see README.md). A file name has at most 255
// octets, so the line stays far below 998.
void SetFieldWithExtendedFileName(GMimeObject* part, const char* field, const std::string& value,
                                  const char* parameter, const std::string& fileName) {
  const GCharPtr escaped(g_uri_escape_string(fileName.c_str(), nullptr, FALSE));
  GMimeHeader* header = g_mime_header_list_get_header(g_mime_object_get_header_list(part), field);
  const std::string raw = " " + value + ";\n\t" + parameter + "*=UTF-8''" + escaped.get() + "\n";
  g_mime_header_set_raw_value(header, raw.c_str());
}

// The content is marker, taken for base64 already, so GMime writes it as it
// is; the file's encoded lines take its place when the message is read out.
GObjectPtr<GMimeObject> AttachmentPart(const AttachmentFile& attachment,
                                       const std::string& marker) {
  // Keep the bytes (a file name may hold any of them), but make sure the
  // charset label is true.
  const std::string name = ValidUtf8(attachment.fileName);
  const std::string typeName = ContentTypeForFileName(attachment.fileName);
  GObjectPtr<GMimeObject> part(GMIME_OBJECT(g_mime_part_new()));
  const auto type = Own(g_mime_content_type_parse(nullptr, typeName.c_str()));
  SetFileNameParameter(g_mime_content_type_get_parameters(type.get()), "name", name);
  g_mime_object_set_content_type(part.get(), type.get());
  const auto disposition = Own(g_mime_content_disposition_new());
  g_mime_content_disposition_set_disposition(disposition.get(), GMIME_DISPOSITION_ATTACHMENT);
  SetFileNameParameter(g_mime_content_disposition_get_parameters(disposition.get()), "filename",
                       name);
  g_mime_object_set_content_disposition(part.get(), disposition.get());
  if (HasControlCharacter(name)) {
    SetFieldWithExtendedFileName(part.get(), "Content-Type", typeName, "name", name);
    SetFieldWithExtendedFileName(part.get(), "Content-Disposition", GMIME_DISPOSITION_ATTACHMENT,
                                 "filename", name);
  }
  const auto stream = Own(g_mime_stream_mem_new_with_buffer(marker.data(), marker.size()));
  SetContent(GMIME_PART(part.get()), stream.get(), GMIME_CONTENT_ENCODING_BASE64, true);
  return part;
}

GObjectPtr<GMimeObject> MixedParts(const MessageContent& content, const std::string& text,
                                   const std::string& marker) {
  GObjectPtr<GMimeObject> multipart(GMIME_OBJECT(g_mime_multipart_new_with_subtype("mixed")));
  auto* parts = GMIME_MULTIPART(multipart.get());
  g_mime_multipart_set_prologue(parts, "This is a message in MIME format.");
  g_mime_multipart_add(parts, TextPart(text).get());
  for (const AttachmentFile& attachment : content.attachments) {
    g_mime_multipart_add(parts, AttachmentPart(attachment, marker).get());
  }
  // The boundary is random, and base64 and quoted-printable never hold "=-";
  // only a 7bit body could clash with it. Check anyway.
  do {
    g_mime_multipart_set_boundary(parts, nullptr);
  } while (text.find(g_mime_multipart_get_boundary(parts)) != std::string::npos);
  return multipart;
}

void AddMailbox(InternetAddressList* list, const std::string& name, const std::string& address) {
  const auto mailbox =
      Own(internet_address_mailbox_new(name.empty() ? nullptr : name.c_str(), address.c_str()));
  internet_address_set_charset(mailbox.get(), kCharset);
  internet_address_list_add(list, mailbox.get());
}

void SetHeaders(GMimeMessage* message, const MessageContent& content,
                std::chrono::system_clock::time_point date) {
  AddMailbox(g_mime_message_get_from(message), HeaderText(content.senderName),
             content.senderAddress);
  for (const std::string& recipient : content.recipients) {
    AddMailbox(g_mime_message_get_to(message), {}, recipient);
  }
  g_mime_message_set_subject(message, HeaderText(content.subject).c_str(), kCharset);
  const auto local = LocalTime(date);
  g_mime_message_set_date(message, local.get());
  if (content.messageId.empty()) {
    const GCharPtr id(g_mime_utils_generate_message_id(content.messageIdDomain.c_str()));
    g_mime_message_set_message_id(message, id.get());
  } else {
    // Kept across tries with its angle brackets; GMime adds its own.
    std::string_view id = content.messageId;
    if (id.size() >= 2 && id.front() == '<' && id.back() == '>') {
      id = id.substr(1, id.size() - 2);
    }
    g_mime_message_set_message_id(message, std::string(id).c_str());
  }
  if (!content.mailer.empty()) {
    g_mime_object_set_header(GMIME_OBJECT(message), "X-Mailer", HeaderText(content.mailer).c_str(),
                             kCharset);
  }
}

// Room for the text around the attachments, so that the buffer is not
// copied while it grows.
std::size_t ExpectedSize(const MessageContent& content) {
  return 8192 + content.body.size() * 3 + content.attachments.size() * 1024;
}

// A word no message holds by chance: 128 random bits.
std::string NewMarker() {
  std::string marker = "=";
  for (int i = 0; i < 4; ++i) {
    const GCharPtr word(g_strdup_printf("%08x", g_random_int()));
    marker += word.get();
  }
  return marker;
}

// Where each marker lies in text; an occurrence too many (in the body, say)
// gives more positions than there are attachments.
std::vector<std::size_t> MarkerPositions(std::string_view text, const std::string& marker) {
  std::vector<std::size_t> positions;
  for (std::size_t at = text.find(marker); at != std::string_view::npos;
       at = text.find(marker, at + marker.size())) {
    positions.push_back(at);
  }
  return positions;
}

std::string_view BytesOf(GMimeStream* stream) {
  const GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream));
  return {reinterpret_cast<const char*>(bytes->data), bytes->len};
}

// A second descriptor of the same open file, owned by the message text.
posix::UniqueFd Duplicate(const AttachmentFile& attachment) {
  posix::UniqueFd copy(::fcntl(attachment.file.Get(), F_DUPFD_CLOEXEC, 0));
  if (!copy.Valid()) {
    throw SendFailure(failure::kAttachmentUnreadable,
                      "attachment " + attachment.fileName + ": " + std::strerror(errno));
  }
  return copy;
}

// The message with a marker in place of each attachment's content.
GObjectPtr<GMimeStream> WriteWithMarkers(const MessageContent& content,
                                         std::chrono::system_clock::time_point date,
                                         const std::string& marker) {
  const auto message = Own(g_mime_message_new(TRUE));
  SetHeaders(message.get(), content, date);
  const std::string text = LfLineBreaks(ValidUtf8(content.body));
  const GObjectPtr<GMimeObject> body =
      content.attachments.empty() ? TextPart(text) : MixedParts(content, text, marker);
  g_mime_message_set_mime_part(message.get(), body.get());

  const std::size_t expected = ExpectedSize(content);
  if (expected > kLargestMessage) {
    throw SendFailure(failure::kOutOfMemory, "the message would be larger than 4 GB");
  }
  const std::unique_ptr<GMimeFormatOptions, FormatOptionsFree> options(g_mime_format_options_new());
  g_mime_format_options_set_newline_format(options.get(), GMIME_NEWLINE_FORMAT_DOS);
  auto buffer = Own(
      g_mime_stream_mem_new_with_byte_array(g_byte_array_sized_new(static_cast<guint>(expected))));
  if (g_mime_object_write_to_stream(GMIME_OBJECT(message.get()), options.get(), buffer.get()) < 0) {
    throw SendFailure(failure::kInternal, "GMime could not write the message");
  }
  if (!BytesOf(buffer.get()).ends_with("\r\n")) {
    g_mime_stream_write(buffer.get(), "\r\n", 2);  // the data must end with a line break
  }
  return buffer;
}

}  // namespace

std::string LfLineBreaks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') {
        ++i;
      }
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string Rfc5322Date(std::chrono::system_clock::time_point date) {
  EnsureGMime();
  const auto local = LocalTime(date);
  const GCharPtr text(g_mime_utils_header_format_date(local.get()));
  return text.get();
}

std::string NewMessageId(const std::string& domain) {
  EnsureGMime();
  const GCharPtr id(g_mime_utils_generate_message_id(domain.c_str()));
  return "<" + std::string(id.get()) + ">";
}

MessageText BuildMessage(const MessageContent& content,
                         std::chrono::system_clock::time_point date) {
  EnsureGMime();
  for (;;) {
    const std::string marker = NewMarker();
    GObjectPtr<GMimeStream> buffer = WriteWithMarkers(content, date, marker);
    const std::vector<std::size_t> positions = MarkerPositions(BytesOf(buffer.get()), marker);
    if (positions.size() != content.attachments.size()) {
      continue;  // the marker was not unique after all: another one
    }
    std::vector<MessageText::Piece> pieces;
    std::size_t from = 0;
    for (std::size_t i = 0; i < positions.size(); ++i) {
      pieces.push_back(MessageText::Piece{from, positions[i], Duplicate(content.attachments[i]),
                                          content.attachments[i].size});
      from = positions[i] + marker.size();
    }
    pieces.push_back(MessageText::Piece{from, BytesOf(buffer.get()).size(), {}, 0});
    return MessageText(std::move(buffer), std::move(pieces));
  }
}

}  // namespace quillpost::smtp
