#pragma once

// Puts each message on the relay's inbound queue as a whole message, through
// the submission library as quillpost-sendmail does, and turns the queue's
// answer into the reply to DATA: 250 only once Send has it on the disk.

#include <string>

#include "message_sink.h"

namespace quillpost::smtpd {

class QueueSink : public MessageSink {
 public:
  explicit QueueSink(std::string queuePathName) : queuePathName_(std::move(queuePathName)) {}

  SinkReply Queue(const Envelope& envelope, const std::string& message,
                  const std::string& id) override;

 private:
  std::string queuePathName_;
};

}  // namespace quillpost::smtpd
