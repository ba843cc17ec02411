#pragma once

#include <string_view>

namespace quillpost::testing {

// The document of a request with every field filled in, as the relay expects
// it byte for byte: sender, two recipients, a subject holding '&', a body and
// one attachment, set in that order.
inline constexpr std::string_view kExampleDocument =
    "<Quillpost-1.0><Routing><FROM>sender-address</FROM><FROM-NAME>Sender Name</FROM-NAME>"
    "<TO>first-recipient</TO><TO>second-recipient</TO></Routing><Message>"
    "<SUBJECT>Monthly figures &amp; notes</SUBJECT><BODY>See the attached figures.</BODY>"
    "</Message><Attachments><FILE>C:\\out\\figures.xls</FILE></Attachments></Quillpost-1.0>";

}  // namespace quillpost::testing
