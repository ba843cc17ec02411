#pragma once

// The text of one e-mail (RFC 5322 with MIME), ready for the DATA command.

#include <chrono>
#include <string>
#include <vector>

#include "mail/attachment_file.h"

namespace quillpost::smtp {

struct MessageContent {
  std::string senderAddress;  // checked before
  std::string senderName;
  std::vector<std::string> recipients;  // checked before
  std::string subject;
  std::string body;
  std::vector<AttachmentFile> attachments;
  std::string mailer;           // X-Mailer; left out when empty
  std::string messageIdDomain;  // the right side of the Message-ID
  std::string messageId;        // kept across tries; empty: a new one
};

// Lines end in CR LF and no line is longer than 998 octets.
std::string BuildMessage(const MessageContent& content, std::chrono::system_clock::time_point date =
                                                            std::chrono::system_clock::now());

// "Mon, 07 Dec 2026 09:02:39 +0100" in the local time zone, independent of the locale.
std::string Rfc5322Date(std::chrono::system_clock::time_point when);

// "<unique@domain>"; unique within and across processes.
std::string NewMessageId(const std::string& domain);

}  // namespace quillpost::smtp
