#pragma once

// A whole message as it goes on the queue and on the wire. The submission
// library and sendmail take a message in through this, and the relay takes it
// again from the request, so that a writer who puts a request straight on the
// queue cannot skip a step.

#include <stdexcept>
#include <string>
#include <string_view>

namespace quillpost::message {

// A message SMTP cannot carry as it is; what() says why, for a person.
class UnsendableMessage : public std::runtime_error {
 public:
  enum class Fault {
    Empty,     // nothing but line ends, before or after the Bcc fields are taken out
    Nul,       // a NUL byte
    LongLine,  // a line longer than kMaxLineLength octets
    // a header longer than a message read a block at a time may have
    // (sendable_stream.h)
    HeaderTooLarge,
    Damaged,  // the encoded text it was kept in is damaged
  };

  UnsendableMessage(Fault fault, const std::string& what)
      : std::runtime_error(what), fault_(fault) {}

  Fault WhatFault() const { return fault_; }

 private:
  Fault fault_;
};

// given with every line ending in CR LF (the last one too) and without its
// Bcc and Resent-Bcc fields. Everything else stays byte for byte.
// Throws UnsendableMessage.
std::string SendableMessage(std::string_view given);

}  // namespace quillpost::message
