#include "document/request_writer.h"

#include <pugixml.hpp>
#include <sstream>
#include <stdexcept>
#include <string>

#include "tree_walk.h"

namespace quillpost::document {
namespace {

// Tags come from the program, never from a caller's data; a tag that is not a
// plain XML name would make the document unreadable, so it is a programming
// error.
void CheckTag(std::string_view tag) {
  const auto is_letter = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
  };
  const auto is_name_char = [&](char c) {
    return is_letter(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
  };
  bool valid = !tag.empty() && is_letter(tag.front());
  for (const char c : tag) {
    valid = valid && is_name_char(c);
  }
  if (!valid) {
    throw std::invalid_argument("not a valid element name: \"" + std::string(tag) + "\"");
  }
}

// Makes value the only content of element. An empty value leaves the element
// without content, so that it serializes as <TAG/>.
void SetText(pugi::xml_node element, std::string_view value) {
  while (pugi::xml_node child = element.first_child()) {
    element.remove_child(child);
  }
  if (!value.empty()) {
    element.append_child(pugi::node_pcdata).set_value(std::string(value).c_str());
  }
}

}  // namespace

struct RequestWriter::Impl {
  pugi::xml_document document;
  pugi::xml_node routing;
  pugi::xml_node message;
  pugi::xml_node attachments;

  Impl() {
    pugi::xml_node root = document.append_child(std::string(kRootTag).c_str());
    routing = root.append_child(std::string(kRoutingTag).c_str());
    message = root.append_child(std::string(kMessageTag).c_str());
    attachments = root.append_child(std::string(kAttachmentsTag).c_str());
  }

  pugi::xml_node SectionNode(Section section) const {
    switch (section) {
      case Section::Routing:
        return routing;
      case Section::Message:
        return message;
      case Section::Attachments:
        return attachments;
    }
    throw std::invalid_argument("unknown section");
  }

  pugi::xml_node FindFirst(std::string_view tag) const {
    pugi::xml_node found;
    detail::ForEachElement(document, tag, [&](pugi::xml_node element) {
      found = element;
      return false;
    });
    return found;
  }
};

RequestWriter::RequestWriter() : impl_(std::make_unique<Impl>()) {}
RequestWriter::~RequestWriter() = default;
RequestWriter::RequestWriter(RequestWriter&&) noexcept = default;
RequestWriter& RequestWriter::operator=(RequestWriter&&) noexcept = default;

void RequestWriter::Append(Section section, std::string_view tag, std::string_view value) {
  CheckTag(tag);
  CheckValue(value);
  pugi::xml_node element = impl_->SectionNode(section).append_child(std::string(tag).c_str());
  SetText(element, value);
}

void RequestWriter::AppendAfterSections(std::string_view tag, std::string_view value) {
  CheckTag(tag);
  CheckValue(value);
  pugi::xml_node element = impl_->document.first_child().append_child(std::string(tag).c_str());
  SetText(element, value);
}

void RequestWriter::SetRelayTries(int tries, bool delayNoticeSent) {
  pugi::xml_node root = impl_->document.first_child();
  const std::string relayTag(kRelayTag);
  root.remove_child(relayTag.c_str());
  pugi::xml_node relay = root.append_child(relayTag.c_str());
  SetText(relay.append_child(std::string(kTriesTag).c_str()), std::to_string(tries));
  if (delayNoticeSent) {
    relay.append_child(std::string(kDelayNoticeTag).c_str());
  }
}

bool RequestWriter::SetFirst(std::string_view tag, std::string_view value) {
  CheckValue(value);
  pugi::xml_node element = impl_->FindFirst(tag);
  if (!element) {
    return false;
  }
  SetText(element, value);
  return true;
}

std::size_t RequestWriter::Count(std::string_view tag) const {
  std::size_t count = 0;
  detail::ForEachElement(impl_->document, tag, [&](pugi::xml_node) {
    ++count;
    return true;
  });
  return count;
}

std::string RequestWriter::Serialize() const {
  std::ostringstream out;
  impl_->document.save(out, "", pugi::format_raw | pugi::format_no_declaration,
                       pugi::encoding_utf8);
  // A carriage return is written as a character reference: left raw, a reader's
  // end-of-line handling would turn CR LF into LF and change the value.
  std::string raw = out.str();
  std::string text;
  text.reserve(raw.size());
  for (const char c : raw) {
    if (c == '\r') {
      text += "&#13;";
    } else {
      text += c;
    }
  }
  return text;
}

}  // namespace quillpost::document
