#pragma once

#include <string>
#include <string_view>

namespace quillpost::smtp {

// The MIME type of an attachment, guessed from its file name's extension
// (case-insensitive); application/octet-stream when unknown.
std::string ContentTypeForFileName(std::string_view fileName);

}  // namespace quillpost::smtp
