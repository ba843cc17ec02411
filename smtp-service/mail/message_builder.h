#pragma once

// The text of one e-mail (RFC 5322 with MIME), ready for the DATA command,
// written by GMime.

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "mail/attachment_file.h"
#include "mail/message_text.h"

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

// Every line break (CR LF, lone CR, lone LF) becomes LF: GMime encodes LF
// line breaks and writes them as CR LF.
std::string LfLineBreaks(std::string_view text);

// A Date: field's value for the given time, in local time with its zone offset.
std::string Rfc5322Date(std::chrono::system_clock::time_point date);

// A new Message-ID (with its angle brackets) whose right side is domain.
std::string NewMessageId(const std::string& domain);

// Lines end in CR LF, the last one included, and no line is longer than 998
// octets. The attachments are read from their files (opened again, so content
// may be dropped) only while the message is read out; see MessageText::Read.
MessageText BuildMessage(const MessageContent& content, std::chrono::system_clock::time_point date =
                                                            std::chrono::system_clock::now());

}  // namespace quillpost::smtp
