#pragma once

// Which files a request may have attached. A request can name any path, so
// anyone who can put a request on a queue could otherwise have the relay mail
// out any file its user can read.

#include <string>
#include <string_view>
#include <vector>

#include "relay/settings.h"

namespace quillpost::relay {

// Completes settings.connection.attachments once every setting is known:
// adds the relay's own files (config file, password file, log file, queue
// stores) to the forbidden ones, and refuses every attachment when a queue
// is shared (a broker queue, or a store that others may write to) and
// attachment_roots is not set.
void CompleteAttachmentRules(Settings& settings, const std::string& configFile);

}  // namespace quillpost::relay
