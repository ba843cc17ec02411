#pragma once

// A delivery status notification (RFC 3464) for the sender of a mail the
// relay gave up on or holds back: a multipart/report with a line or two for
// people, a message/delivery-status part for programs, and the original's
// header (or the whole original), written by GMime.

#include <chrono>
#include <string>
#include <vector>

namespace quillpost::smtp {

struct NoticeRecipient {
  std::string address;
  std::string status;  // an enhanced status code such as 5.1.1
  std::string reply;   // the server's reply; empty when none came
  std::string reason;  // what went wrong here when no reply came
};

struct NoticeContent {
  std::string host;         // the reporting relay's name
  std::string fromAddress;  // MAILER-DAEMON@host
  std::string to;           // the original's envelope sender
  std::string remoteMta;    // the relay host that answered, without port
  std::string action;       // "failed" or "delayed"
  std::chrono::system_clock::time_point arrival;
  std::chrono::system_clock::time_point date;
  std::string messageId;  // with angle brackets
  std::vector<NoticeRecipient> recipients;
  std::string original;  // the original message, any line breaks
  bool returnFull = false;
};

// The enhanced status code at the start of reply's text ("550 5.1.1 ..."),
// else fallback.
std::string EnhancedStatus(const std::string& reply, const std::string& fallback);

// The notice's Subject for action.
std::string NoticeSubject(const std::string& action);

// The notice's text, lines ending in CR LF.
std::string BuildDeliveryNotice(const NoticeContent& content);

}  // namespace quillpost::smtp
