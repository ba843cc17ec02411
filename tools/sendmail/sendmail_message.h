#pragma once

// From what a program hands to sendmail to what goes on the queue: the
// message, its envelope and the request's sender name.

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "sendmail_options.h"

namespace quillpost::sendmail {

// A message that cannot be sent as it was given; what() says why.
class MessageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads the message from in. With dotEndsInput a line holding only "." ends
// it and is not part of it (nothing after it is read). Throws
// std::runtime_error naming the cause when reading fails (a closed standard
// input included).
std::string ReadMessage(std::FILE* in, bool dotEndsInput);

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
  std::string message;                  // with CR LF line ends, and a From field when it had none
};

// Every address of the envelope is one the relay can put on the wire. Throws
// UsageError when the options give a sender or recipient it cannot, or no
// recipient is named; MessageError when the message's own header does.
Delivery PlanDelivery(const SendmailOptions& options, std::string message,
                      const LocalIdentity& identity);

}  // namespace quillpost::sendmail
