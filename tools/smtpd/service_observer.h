#pragma once

// What the running listener does with a session's reports: the mail log line
// and the counters.

#include "listener_metrics.h"
#include "mail_log.h"
#include "session_observer.h"

namespace quillpost::smtpd {

class ServiceObserver : public SessionObserver {
 public:
  ServiceObserver(ListenerMetrics& metrics, MailLogTarget mailLog)
      : metrics_(metrics), mailLog_(mailLog) {}

  void Queued(const QueuedMessage& message) override {
    metrics_.Queued(message);
    WriteMailLog(mailLog_, message);
  }
  void Refused(Refusal refusal) override { metrics_.Refused(refusal); }

 private:
  ListenerMetrics& metrics_;
  MailLogTarget mailLog_;
};

}  // namespace quillpost::smtpd
