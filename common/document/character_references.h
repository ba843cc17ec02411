#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillpost::document::detail {

// Resolves the references in one run of character data as it stands in the
// text: the five predefined entities (&lt; &gt; &amp; &apos; &quot;) and
// decimal or hexadecimal character references. A character reference that is
// malformed, or that names a character XML 1.0 does not allow (&#0;, &#xFFFE;,
// a surrogate, ...), throws ParseError at offset + its position in raw, since
// no XML 1.0 reader may accept it. Any other '&' is kept as it stands.
std::string ResolveReferences(std::string_view raw, std::size_t offset);

}  // namespace quillpost::document::detail
