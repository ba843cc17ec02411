#include "sendmail_message.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

#include "message/header_fields.h"
#include "message/message_summary.h"

namespace quillpost::sendmail {
namespace {

bool IsLoneDot(std::string_view line) {
  return line == "." || line == ".\r";
}

void AddRecipient(std::vector<std::string>& recipients, std::string address,
                  const LocalIdentity& identity) {
  if (address.find('@') == std::string::npos) {
    address += "@" + identity.host;
  }
  if (std::find(recipients.begin(), recipients.end(), address) == recipients.end()) {
    recipients.push_back(std::move(address));
  }
}

}  // namespace

std::string ReadMessage(std::istream& in, bool dotEndsInput) {
  std::string message;
  if (!dotEndsInput) {
    message.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } else {
    std::string line;
    while (std::getline(in, line)) {
      if (IsLoneDot(line)) {
        return message;
      }
      message += line;
      if (!in.eof()) {
        message += '\n';
      }
    }
  }
  if (in.bad()) {
    throw std::runtime_error("cannot read the message from standard input");
  }
  return message;
}

Delivery PlanDelivery(const SendmailOptions& options, std::string message,
                      const LocalIdentity& identity) {
  const message::MessageSummary summary = message::Summarise(message);
  Delivery delivery;
  for (const std::string& argument : options.recipients) {
    for (std::string& address : message::ParseAddresses(argument)) {
      AddRecipient(delivery.recipients, std::move(address), identity);
    }
  }
  if (options.recipientsFromHeaders) {
    for (const auto* list : {&summary.to, &summary.cc, &summary.bcc}) {
      for (const std::string& address : *list) {
        AddRecipient(delivery.recipients, address, identity);
      }
    }
  }
  if (delivery.recipients.empty()) {
    throw UsageError(options.recipientsFromHeaders
                         ? "no recipients: the message has no To, Cc or Bcc address"
                         : "no recipients: name them as arguments, or use -t");
  }
  if (options.sender) {
    delivery.sender = *options.sender;
  } else if (summary.from) {
    delivery.sender = summary.from->address;
  } else {
    delivery.sender = identity.login + "@" + identity.host;
  }
  if (options.fullName) {
    delivery.senderName = *options.fullName;
  } else if (summary.from) {
    delivery.senderName = summary.from->name;
  }
  delivery.message = summary.hasFrom
                         ? std::move(message)
                         : message::WithFieldInFront(
                               message, message::FromField({delivery.senderName, delivery.sender}));
  return delivery;
}

}  // namespace quillpost::sendmail
