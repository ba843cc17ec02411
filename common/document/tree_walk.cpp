#include "tree_walk.h"

namespace quillpost::document::detail {

pugi::xml_node NextInSubtree(pugi::xml_node node, pugi::xml_node top) {
  if (pugi::xml_node child = node.first_child()) {
    return child;
  }
  while (node && node != top) {
    if (pugi::xml_node sibling = node.next_sibling()) {
      return sibling;
    }
    node = node.parent();
  }
  return {};
}

std::string TextOf(pugi::xml_node element) {
  std::string text;
  for (pugi::xml_node node = NextInSubtree(element, element); node;
       node = NextInSubtree(node, element)) {
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) {
      text += node.value();
    }
  }
  return text;
}

}  // namespace quillpost::document::detail
