#include "mail/delivery_notice.h"

#include <algorithm>
#include <regex>

#include "mail/gmime_support.h"
#include "mail/message_builder.h"
#include "mail/outgoing_mail.h"

namespace quillpost::smtp {
namespace {

bool IsAscii(std::string_view text) {
  return std::ranges::all_of(text, [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// A leaf part holding text as it is, or quoted-printable when text is for
// people and not ASCII.
GObjectPtr<GMimeObject> LeafPart(const char* type, const char* subtype, const std::string& text,
                                 bool forPeople) {
  GObjectPtr<GMimeObject> part(GMIME_OBJECT(g_mime_part_new_with_type(type, subtype)));
  const auto stream = Own(g_mime_stream_mem_new_with_buffer(text.data(), text.size()));
  const auto wrapper =
      Own(g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
  g_mime_part_set_content(GMIME_PART(part.get()), wrapper.get());
  GMimeContentEncoding encoding = GMIME_CONTENT_ENCODING_7BIT;
  if (!IsAscii(text)) {
    encoding = forPeople ? GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE : GMIME_CONTENT_ENCODING_8BIT;
  }
  if (forPeople) {
    g_mime_object_set_content_type_parameter(part.get(), "charset",
                                             IsAscii(text) ? "us-ascii" : "utf-8");
  }
  g_mime_part_set_content_encoding(GMIME_PART(part.get()), encoding);
  return part;
}

std::string ForPeople(const NoticeContent& content) {
  const bool failed = content.action == "failed";
  std::string text = "This is the mail system at host " + content.host + ".\n\n";
  text += failed ? "Your message could not be delivered to the recipients below, and no more\n"
                   "tries will be made. Check each address and the reason given, then send the\n"
                   "message again if it is still needed.\n"
                 : "Your message has not yet been delivered to the recipients below. The mail\n"
                   "system goes on trying; you need not send it again.\n";
  text += "\n";
  for (const NoticeRecipient& recipient : content.recipients) {
    text += "<" + recipient.address +
            ">: " + (recipient.reply.empty() ? recipient.reason : recipient.reply) + "\n";
  }
  return text;
}

std::string DeliveryStatus(const NoticeContent& content) {
  std::string text = "Reporting-MTA: dns; " + content.host + "\n";
  text += "Arrival-Date: " + Rfc5322Date(content.arrival) + "\n";
  for (const NoticeRecipient& recipient : content.recipients) {
    text += "\nFinal-Recipient: rfc822; " + recipient.address + "\n";
    text += "Action: " + content.action + "\n";
    text += "Status: " + recipient.status + "\n";
    if (!recipient.reply.empty()) {
      if (!content.remoteMta.empty()) {
        text += "Remote-MTA: dns; " + content.remoteMta + "\n";
      }
      text += "Diagnostic-Code: smtp; " + recipient.reply + "\n";
    }
  }
  return text;
}

// What goes back of the original: its header alone, or all of it.
GObjectPtr<GMimeObject> ReturnedPart(const NoticeContent& content) {
  std::string original = LfLineBreaks(content.original);
  if (!content.returnFull) {
    const std::size_t end = original.find("\n\n");
    original.resize(end == std::string::npos ? original.size() : end + 1);
    return LeafPart("text", "rfc822-headers", original, false);
  }
  return LeafPart("message", "rfc822", original, false);
}

}  // namespace

std::string EnhancedStatus(const std::string& reply, const std::string& fallback) {
  static const std::regex code(R"(^\d{3}[ -]([245]\.\d{1,3}\.\d{1,3})(\s|$))");
  std::smatch match;
  if (std::regex_search(reply, match, code)) {
    return match[1].str();
  }
  return fallback;
}

std::string NoticeSubject(const std::string& action) {
  return action == "failed" ? "Undelivered Mail Returned to Sender"
                            : "Delayed Mail (still being retried)";
}

std::string BuildDeliveryNotice(const NoticeContent& content) {
  EnsureGMime();
  const auto message = Own(g_mime_message_new(TRUE));
  const auto from =
      Own(internet_address_mailbox_new("Mail Delivery System", content.fromAddress.c_str()));
  internet_address_list_add(g_mime_message_get_from(message.get()), from.get());
  const auto to = Own(internet_address_mailbox_new(nullptr, content.to.c_str()));
  internet_address_list_add(g_mime_message_get_to(message.get()), to.get());
  g_mime_message_set_subject(message.get(), NoticeSubject(content.action).c_str(), nullptr);
  g_mime_object_set_header(GMIME_OBJECT(message.get()), "Date", Rfc5322Date(content.date).c_str(),
                           nullptr);
  std::string_view id = content.messageId;
  if (id.size() >= 2 && id.front() == '<' && id.back() == '>') {
    id = id.substr(1, id.size() - 2);
  }
  g_mime_message_set_message_id(message.get(), std::string(id).c_str());
  g_mime_object_set_header(GMIME_OBJECT(message.get()), "Auto-Submitted", "auto-replied", nullptr);

  const auto report = Own(g_mime_multipart_new_with_subtype("report"));
  g_mime_object_set_content_type_parameter(GMIME_OBJECT(report.get()), "report-type",
                                           "delivery-status");
  g_mime_multipart_add(report.get(), LeafPart("text", "plain", ForPeople(content), true).get());
  g_mime_multipart_add(
      report.get(), LeafPart("message", "delivery-status", DeliveryStatus(content), false).get());
  g_mime_multipart_add(report.get(), ReturnedPart(content).get());
  g_mime_message_set_mime_part(message.get(), GMIME_OBJECT(report.get()));

  const std::unique_ptr<GMimeFormatOptions, FormatOptionsFree> options(g_mime_format_options_new());
  g_mime_format_options_set_newline_format(options.get(), GMIME_NEWLINE_FORMAT_DOS);
  const GCharPtr text(g_mime_object_to_string(GMIME_OBJECT(message.get()), options.get()));
  if (text == nullptr) {
    throw SendFailure(failure::kInternal, "GMime could not write the notice");
  }
  return text.get();
}

}  // namespace quillpost::smtp
