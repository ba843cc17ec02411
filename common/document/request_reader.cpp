#include "document/request_reader.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <pugixml.hpp>
#include <string>

#include "character_references.h"
#include "character_rules.h"
#include "tree_walk.h"

// What the reader accepts: one element as the root, with only white space,
// comments, processing instructions and an XML declaration around it (the
// last three are skipped). A document type declaration is refused outright, so
// no entity a sender declares is ever expanded and nothing outside the text is
// ever fetched. The text must be well-formed UTF-8 of XML 1.0 characters
// only, the same rule the writer holds values to, so that every document the
// reader accepts can be written back with the same values (the relay writes
// a request anew when it puts it back on a queue). References are resolved by
// the reader itself,
// which refuses the ones XML forbids (&#0; and the like), so that no value can
// be cut short or carry a character the writer would never have put there.

namespace quillpost::document {
namespace {

// Fragment mode keeps text outside the root, so that it can be refused below
// instead of silently dropped. References are left for ResolveReferences.
constexpr unsigned kParseOptions = (pugi::parse_default & ~pugi::parse_escapes) |
                                   pugi::parse_ws_pcdata | pugi::parse_doctype |
                                   pugi::parse_fragment;

[[noreturn]] void Fail(const std::string& reason, std::size_t offset) {
  throw ParseError("malformed request document at byte " + std::to_string(offset) + ": " + reason,
                   offset);
}

bool IsWhiteSpace(const char* text) {
  for (; *text != '\0'; ++text) {
    if (*text != ' ' && *text != '\t' && *text != '\n' && *text != '\r') {
      return false;
    }
  }
  return true;
}

// Where node starts in text: the parser records the position of a tag's name
// or a declaration's content; the '<' before it is where the reader points.
std::size_t OffsetOf(pugi::xml_node node, std::string_view text) {
  const std::ptrdiff_t recorded = node.offset_debug();
  if (recorded < 0) {
    return 0;
  }
  const auto offset = static_cast<std::size_t>(recorded);
  if (node.type() == pugi::node_pcdata) {
    return offset;
  }
  const std::size_t tag = text.rfind('<', offset);
  return tag == std::string_view::npos ? offset : tag;
}

void CheckTopLevel(const pugi::xml_document& document, std::string_view text) {
  bool seen_root = false;
  for (pugi::xml_node node = document.first_child(); node; node = node.next_sibling()) {
    switch (node.type()) {
      case pugi::node_element:
        if (seen_root) {
          Fail("more than one root element", OffsetOf(node, text));
        }
        seen_root = true;
        break;
      case pugi::node_pcdata:
      case pugi::node_cdata:
        if (node.type() == pugi::node_cdata || !IsWhiteSpace(node.value())) {
          Fail("text outside the root element", OffsetOf(node, text));
        }
        break;
      case pugi::node_doctype:
        Fail("document type declarations are not accepted", OffsetOf(node, text));
      default:
        break;  // declaration, comment, processing instruction: nothing to read
    }
  }
  if (!seen_root) {
    Fail("no root element", text.size());
  }
}

// Resolves the references of every run of character data, once, before any
// value is read. The offset of a refused reference is counted from the start
// of its run; line-end folding before it may make it point a few bytes early,
// never past the end of the text.
void ResolveAllReferences(pugi::xml_document& document, std::string_view text) {
  for (pugi::xml_node node = detail::NextInSubtree(document, document); node;
       node = detail::NextInSubtree(node, document)) {
    if (node.type() != pugi::node_pcdata) {
      continue;
    }
    const std::string_view raw = node.value();
    if (raw.find('&') == std::string_view::npos) {
      continue;
    }
    node.set_value(detail::ResolveReferences(raw, OffsetOf(node, text)).c_str());
  }
}

}  // namespace

struct RequestReader::Impl {
  pugi::xml_document document;
};

RequestReader::RequestReader(std::string_view text) : impl_(std::make_unique<Impl>()) {
  if (const std::optional<detail::Uncarriable> found = detail::FindUncarriable(text)) {
    Fail(found->what + " is not allowed in a request document", found->offset);
  }
  const pugi::xml_parse_result result =
      impl_->document.load_buffer(text.data(), text.size(), kParseOptions, pugi::encoding_utf8);
  if (!result) {
    // The parser may point one past the last byte when the text ends inside a
    // tag; the reader names the end of the text instead.
    Fail(result.description(), std::min(static_cast<std::size_t>(result.offset), text.size()));
  }
  CheckTopLevel(impl_->document, text);
  ResolveAllReferences(impl_->document, text);
}

RequestReader::~RequestReader() = default;
RequestReader::RequestReader(RequestReader&&) noexcept = default;
RequestReader& RequestReader::operator=(RequestReader&&) noexcept = default;

std::string RequestReader::First(std::string_view tag) const {
  pugi::xml_node found;
  detail::ForEachElement(impl_->document, tag, [&](pugi::xml_node element) {
    found = element;
    return false;
  });
  if (!found) {
    throw MissingElement("request document has no <" + std::string(tag) + "> element");
  }
  return detail::TextOf(found);
}

bool RequestReader::FirstStandsAloneAt(std::string_view tag, std::size_t offset) const {
  pugi::xml_node found;
  detail::ForEachElement(impl_->document, tag, [&](pugi::xml_node element) {
    found = element;
    return false;
  });
  // The parser records where an element's name starts, after its '<'.
  if (!found || found.offset_debug() != static_cast<std::ptrdiff_t>(offset + 1)) {
    return false;
  }
  const pugi::xml_node root = impl_->document.document_element();
  if (found.parent() != root) {
    return false;
  }
  constexpr std::string_view kValueTags[] = {kFromTag,    kFromNameTag, kToTag,
                                             kSubjectTag, kBodyTag,     kFileTag};
  return std::ranges::find(kValueTags, std::string_view(root.name())) == std::end(kValueTags);
}

std::vector<std::string> RequestReader::All(std::string_view tag) const {
  std::vector<std::string> texts;
  detail::ForEachElement(impl_->document, tag, [&](pugi::xml_node element) {
    texts.push_back(detail::TextOf(element));
    return true;
  });
  return texts;
}

std::optional<int> RequestReader::RelayTries() const {
  const pugi::xml_node relay =
      impl_->document.document_element().child(std::string(kRelayTag).c_str());
  const pugi::xml_node tries = relay.child(std::string(kTriesTag).c_str());
  if (!tries) {
    return std::nullopt;
  }
  const std::string text = detail::TextOf(tries);
  int count = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || count < 0) {
    return std::nullopt;
  }
  return count;
}

bool RequestReader::RelayDelayNoticeSent() const {
  return static_cast<bool>(impl_->document.document_element()
                               .child(std::string(kRelayTag).c_str())
                               .child(std::string(kDelayNoticeTag).c_str()));
}

}  // namespace quillpost::document
