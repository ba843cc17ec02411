#pragma once

// From what a program hands to sendmail to what goes on the queue: the
// message, its envelope and the request's sender name.

#include <istream>
#include <string>
#include <vector>

#include "sendmail_options.h"

namespace quillpost::sendmail {

// Reads the message from in. With dotEndsInput a line holding only "." ends
// it and is not part of it. Throws std::runtime_error when reading fails.
std::string ReadMessage(std::istream& in, bool dotEndsInput);

// Who runs the tool: the default sender is login@host, and host qualifies a
// recipient given without a domain ("root").
struct LocalIdentity {
  std::string login;
  std::string host;
};

struct Delivery {
  std::string sender;
  std::string senderName;
  std::vector<std::string> recipients;  // no address twice
  std::string message;                  // with a From field when it had none
};

// Throws UsageError when the message names no recipient that the options
// would take.
Delivery PlanDelivery(const SendmailOptions& options, std::string message,
                      const LocalIdentity& identity);

}  // namespace quillpost::sendmail
