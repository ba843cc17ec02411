#pragma once

#include <curl/curl.h>

#include <string>

#include "mail/outgoing_mail.h"
#include "mail/smtp_dialogue.h"

namespace quillpost::smtp {

// Turns a failed transfer into the failure the caller sees. The stage comes
// from the dialogue, never from libcurl's message text; `connected` tells
// whether a connection to the server was made; `detail` is libcurl's message,
// only used to explain the failure to a human.
SendFailure ClassifyFailure(CURLcode code, const SmtpDialogue& dialogue, bool connected,
                            const std::string& detail);

}  // namespace quillpost::smtp
