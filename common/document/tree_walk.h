#pragma once

// Walks over a parsed document without recursion, so that no nesting depth in
// a received text can exhaust the stack.

#include <pugixml.hpp>
#include <string>
#include <string_view>

namespace quillpost::document::detail {

// The node after node in document order (pre-order) within the subtree of
// top; an empty node when the subtree is exhausted.
pugi::xml_node NextInSubtree(pugi::xml_node node, pugi::xml_node top);

// Calls visit(element) for every element named tag under top (top itself
// excluded), in document order, until visit returns false.
template <typename Visit>
void ForEachElement(pugi::xml_node top, std::string_view tag, Visit visit) {
  for (pugi::xml_node node = NextInSubtree(top, top); node; node = NextInSubtree(node, top)) {
    if (node.type() == pugi::node_element && tag == node.name()) {
      if (!visit(node)) {
        return;
      }
    }
  }
}

// The character data of element and of all its descendants (text and CDATA
// sections), in document order.
std::string TextOf(pugi::xml_node element);

}  // namespace quillpost::document::detail
