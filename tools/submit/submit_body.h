#pragma once

#include <optional>
#include <string>

#include "submit_options.h"

namespace quillpost::submit {

// The body the options ask for: the --body text, the --body-file contents, or
// standard input. std::nullopt when standard input is a terminal and no body
// was given. Throws UsageError when the file cannot be read, or when it holds
// more than a request can carry (quillpost::kMaxPlainDocumentBytes).
std::optional<std::string> ReadBody(const SubmitOptions& options);

}  // namespace quillpost::submit
