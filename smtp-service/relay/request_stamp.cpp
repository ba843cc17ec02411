#include "relay/request_stamp.h"

#include <charconv>
#include <cstdio>
#include <pugixml.hpp>
#include <random>
#include <sstream>
#include <vector>

#include "document/request_format.h"

namespace quillpost::relay {
namespace {

// As the request reader parses: white space in values kept, nothing expanded
// from outside the text.
constexpr unsigned kParseOptions = pugi::parse_default | pugi::parse_ws_pcdata;

bool Parse(pugi::xml_document& xml, const std::string& document) {
  return xml.load_buffer(document.data(), document.size(), kParseOptions, pugi::encoding_utf8) &&
         xml.document_element();
}

std::string Serialize(const pugi::xml_document& xml) {
  std::ostringstream out;
  xml.save(out, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
  return out.str();
}

// Calls visit(node) for every node under top, in document order; no
// recursion, however deep the document.
template <typename Visit>
void Walk(pugi::xml_node top, Visit visit) {
  pugi::xml_node node = top.first_child();
  while (node) {
    visit(node);
    if (node.first_child()) {
      node = node.first_child();
      continue;
    }
    while (node != top && !node.next_sibling()) {
      node = node.parent();
    }
    if (node == top) {
      break;
    }
    node = node.next_sibling();
  }
}

// Every element named tag, in document order.
std::vector<pugi::xml_node> Elements(pugi::xml_node top, std::string_view tag) {
  std::vector<pugi::xml_node> found;
  Walk(top, [&](pugi::xml_node node) {
    if (node.type() == pugi::node_element && tag == node.name()) {
      found.push_back(node);
    }
  });
  return found;
}

// The character data of element and its descendants, as the relay reads it.
std::string TextOf(pugi::xml_node element) {
  std::string text;
  Walk(element, [&](pugi::xml_node node) {
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) {
      text += node.value();
    }
  });
  return text;
}

std::string First(pugi::xml_node top, std::string_view tag) {
  const std::vector<pugi::xml_node> found = Elements(top, tag);
  return found.empty() ? std::string() : TextOf(found.front());
}

bool IsHex(std::string_view text) {
  if (text.size() != 16) {
    return false;
  }
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  return true;
}

// A Message-ID that can go into a header as it stands.
bool IsMessageId(std::string_view text) {
  if (text.size() < 5 || text.size() > 250 || text.front() != '<' || text.back() != '>' ||
      text.find('@') == std::string_view::npos) {
    return false;
  }
  for (const char c : text.substr(1, text.size() - 2)) {
    if (c <= ' ' || c >= 0x7F || c == '<' || c == '>') {
      return false;
    }
  }
  return true;
}

std::optional<long long> Number(std::string_view text) {
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 0) {
    return std::nullopt;
  }
  return value;
}

std::string NewQueueId() {
  static std::mt19937_64 generator{std::random_device{}()};
  char text[17] = {};
  std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(generator()));
  return text;
}

std::string MessageIdDomain(pugi::xml_node root) {
  const std::string from = First(root, document::kFromTag);
  const std::size_t at = from.rfind('@');
  std::string domain = at == std::string::npos ? std::string() : from.substr(at + 1);
  for (const char c : domain) {
    const bool fits = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '.';
    if (!fits) {
      domain.clear();
      break;
    }
  }
  return domain.empty() ? std::string("quillpost.localhost") : domain;
}

std::optional<RequestStamp> ReadFrom(pugi::xml_node root) {
  const std::vector<pugi::xml_node> stamps = Elements(root, kStampTag);
  if (stamps.empty()) {
    return std::nullopt;
  }
  RequestStamp stamp;
  stamp.queueId = First(root, kQueueIdTag);
  stamp.messageId = First(root, kMessageIdTag);
  const auto submitted = Number(First(root, kSubmittedTag));
  stamp.submitted =
      std::chrono::system_clock::time_point(std::chrono::seconds(submitted.value_or(0)));
  stamp.tries =
      static_cast<int>(std::min<long long>(Number(First(root, kTriesTag)).value_or(0), 1'000'000));
  return stamp;
}

void SetChild(pugi::xml_node stamp, std::string_view tag, const std::string& value) {
  pugi::xml_node element = stamp.child(std::string(tag).c_str());
  if (!element) {
    element = stamp.append_child(std::string(tag).c_str());
  }
  while (pugi::xml_node child = element.first_child()) {
    element.remove_child(child);
  }
  element.append_child(pugi::node_pcdata).set_value(value.c_str());
}

pugi::xml_node StampNode(pugi::xml_node root) {
  const std::vector<pugi::xml_node> stamps = Elements(root, kStampTag);
  return stamps.empty() ? root.append_child(std::string(kStampTag).c_str()) : stamps.front();
}

}  // namespace

std::optional<RequestStamp> StampRequest(std::string& document,
                                         std::chrono::system_clock::time_point now) {
  pugi::xml_document xml;
  if (!Parse(xml, document)) {
    return std::nullopt;
  }
  const pugi::xml_node root = xml.document_element();
  RequestStamp stamp = ReadFrom(root).value_or(RequestStamp{});
  bool changed = false;
  const pugi::xml_node node = StampNode(root);
  if (!IsHex(stamp.queueId)) {
    stamp.queueId = NewQueueId();
    SetChild(node, kQueueIdTag, stamp.queueId);
    changed = true;
  }
  if (!IsMessageId(stamp.messageId)) {
    stamp.messageId = "<" + stamp.queueId + ".quillpost@" + MessageIdDomain(root) + ">";
    SetChild(node, kMessageIdTag, stamp.messageId);
    changed = true;
  }
  if (stamp.submitted.time_since_epoch().count() <= 0 || stamp.submitted > now) {
    stamp.submitted = std::chrono::time_point_cast<std::chrono::seconds>(now);
    SetChild(node, kSubmittedTag,
             std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                stamp.submitted.time_since_epoch())
                                .count()));
    changed = true;
  }
  if (changed) {
    document = Serialize(xml);
  }
  return stamp;
}

std::optional<RequestStamp> ReadStamp(const std::string& document) {
  pugi::xml_document xml;
  if (!Parse(xml, document)) {
    return std::nullopt;
  }
  return ReadFrom(xml.document_element());
}

bool SetTries(std::string& document, int tries) {
  pugi::xml_document xml;
  if (!Parse(xml, document)) {
    return false;
  }
  SetChild(StampNode(xml.document_element()), kTriesTag, std::to_string(tries));
  document = Serialize(xml);
  return true;
}

bool KeepRecipients(std::string& document, const std::set<std::string>& keep) {
  pugi::xml_document xml;
  if (!Parse(xml, document)) {
    return false;
  }
  for (pugi::xml_node to : Elements(xml.document_element(), document::kToTag)) {
    if (keep.count(TextOf(to)) == 0) {
      to.parent().remove_child(to);
    }
  }
  document = Serialize(xml);
  return true;
}

}  // namespace quillpost::relay
