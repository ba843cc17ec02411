#include "message/message_summary.h"

#include <gmime/gmime.h>

#include <memory>
#include <mutex>

namespace quillpost::message {
namespace {

struct ObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
struct GFree {
  void operator()(gpointer memory) const { g_free(memory); }
};
struct PartIterFree {
  void operator()(GMimePartIter* iter) const { g_mime_part_iter_free(iter); }
};
template <typename T>
using Object = std::unique_ptr<T, ObjectUnref>;
using Text = std::unique_ptr<char, GFree>;

void InitialiseGMime() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

// Valid UTF-8 without the characters XML 1.0 cannot carry (C0 controls other
// than tab, LF and CR; U+FFFE, U+FFFF).
std::string Carriable(const char* text) {
  if (text == nullptr) {
    return {};
  }
  const Text valid(g_utf8_make_valid(text, -1));
  std::string out;
  for (const char* p = valid.get(); *p != '\0'; p = g_utf8_next_char(p)) {
    const gunichar c = g_utf8_get_char(p);
    if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0xFFFE || c == 0xFFFF) {
      out += "\xEF\xBF\xBD";
    } else {
      out.append(p, static_cast<std::size_t>(g_utf8_next_char(p) - p));
    }
  }
  return out;
}

void CollectAddresses(InternetAddressList* list, std::vector<std::string>& out) {
  if (list == nullptr) {
    return;
  }
  const int count = internet_address_list_length(list);
  for (int i = 0; i < count; ++i) {
    InternetAddress* address = internet_address_list_get_address(list, i);
    if (INTERNET_ADDRESS_IS_MAILBOX(address)) {
      const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address));
      if (addr != nullptr && *addr != '\0') {
        out.emplace_back(addr);
      }
    } else if (INTERNET_ADDRESS_IS_GROUP(address)) {
      CollectAddresses(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)), out);
    }
  }
}

std::optional<Mailbox> FirstMailbox(InternetAddressList* list) {
  if (list == nullptr || internet_address_list_length(list) < 1) {
    return std::nullopt;
  }
  InternetAddress* first = internet_address_list_get_address(list, 0);
  if (!INTERNET_ADDRESS_IS_MAILBOX(first)) {
    return std::nullopt;
  }
  const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(first));
  if (addr == nullptr || *addr == '\0') {
    return std::nullopt;
  }
  return Mailbox{Carriable(internet_address_get_name(first)), addr};
}

// The first text/plain part that is not an attachment, else the first such
// text part of any kind (an HTML-only mail shows its source).
std::string TextOf(GMimeMessage* message) {
  GMimeObject* top = g_mime_message_get_mime_part(message);
  if (top == nullptr) {
    return {};
  }
  if (GMIME_IS_TEXT_PART(top)) {
    const Text text(g_mime_text_part_get_text(GMIME_TEXT_PART(top)));
    return Carriable(text.get());
  }
  const std::unique_ptr<GMimePartIter, PartIterFree> parts(g_mime_part_iter_new(top));
  GMimeTextPart* chosen = nullptr;
  do {
    GMimeObject* part = g_mime_part_iter_get_current(parts.get());
    if (part == nullptr || !GMIME_IS_TEXT_PART(part) ||
        g_mime_part_is_attachment(GMIME_PART(part))) {
      continue;
    }
    if (g_mime_content_type_is_type(g_mime_object_get_content_type(part), "text", "plain")) {
      chosen = GMIME_TEXT_PART(part);
      break;
    }
    if (chosen == nullptr) {
      chosen = GMIME_TEXT_PART(part);
    }
  } while (g_mime_part_iter_next(parts.get()));
  if (chosen == nullptr) {
    return {};
  }
  const Text text(g_mime_text_part_get_text(chosen));
  return Carriable(text.get());
}

}  // namespace

MessageSummary Summarise(std::string_view message) {
  InitialiseGMime();
  MessageSummary summary;
  const Object<GMimeStream> stream(
      g_mime_stream_mem_new_with_buffer(message.data(), message.size()));
  const Object<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  const Object<GMimeMessage> parsed(g_mime_parser_construct_message(parser.get(), nullptr));
  if (!parsed) {
    return summary;
  }
  GMimeMessage* m = parsed.get();
  summary.hasFrom = g_mime_object_get_header(GMIME_OBJECT(m), "From") != nullptr;
  summary.from = FirstMailbox(g_mime_message_get_from(m));
  CollectAddresses(g_mime_message_get_to(m), summary.to);
  CollectAddresses(g_mime_message_get_cc(m), summary.cc);
  CollectAddresses(g_mime_message_get_bcc(m), summary.bcc);
  summary.subject = Carriable(g_mime_message_get_subject(m));
  summary.text = TextOf(m);
  return summary;
}

std::vector<std::string> ParseAddresses(std::string_view list) {
  InitialiseGMime();
  std::vector<std::string> addresses;
  const Object<InternetAddressList> parsed(
      internet_address_list_parse(nullptr, std::string(list).c_str()));
  CollectAddresses(parsed.get(), addresses);
  return addresses;
}

std::string FromField(const Mailbox& mailbox) {
  InitialiseGMime();
  const Object<InternetAddress> address(
      internet_address_mailbox_new(mailbox.name.c_str(), mailbox.address.c_str()));
  const Text text(internet_address_to_string(address.get(), nullptr, TRUE));
  return "From: " + std::string(text.get());
}

}  // namespace quillpost::message
