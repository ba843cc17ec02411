#include "relay/mail_log.h"

#include <syslog.h>

#include "activitylog/log_entry.h"

namespace quillpost::relay::maillog {
namespace {

Sink& CurrentSink() {
  static Sink sink;
  return sink;
}

const char* StatusText(Status status) {
  switch (status) {
    case Status::Sent:
      return "sent";
    case Status::Deferred:
      return "deferred";
    case Status::Bounced:
      return "bounced";
    case Status::Queued:
      return "queued";
  }
  return "?";
}

}  // namespace

std::string FormatOutcome(const Outcome& outcome) {
  // Every value is escaped as the activity log escapes it: nothing a request
  // holds can start a line of its own.
  const auto escape = [](std::string_view text) { return activitylog::EscapeForLog(text); };
  std::string line = escape(outcome.queueId) + ": from=<" + escape(outcome.from) + ">";
  for (const std::string& to : outcome.to) {
    line += ", to=<" + escape(to) + ">";
  }
  line += ", relay=" + escape(outcome.relay);
  line += ", delay=" + std::to_string(outcome.delay.count());
  line += ", tries=" + std::to_string(outcome.tries);
  line += ", status=";
  line += StatusText(outcome.status);
  line += " (" + escape(outcome.detail) + ")";
  if (!outcome.notice.empty()) {
    line += ", notice=" + escape(outcome.notice);
  }
  return line;
}

void Write(const Outcome& outcome) noexcept {
  try {
    const std::string line = FormatOutcome(outcome);
    const int priority =
        outcome.status == Status::Sent || outcome.status == Status::Queued ? LOG_INFO : LOG_WARNING;
    if (CurrentSink()) {
      CurrentSink()(priority, line);
      return;
    }
    openlog("quillpost/smtp", LOG_PID, LOG_MAIL);
    syslog(LOG_MAIL | priority, "%s", line.c_str());
  } catch (...) {
    // The activity log still has the failure; the mail log is a second record.
  }
}

ScopedSink::ScopedSink(Sink sink) : previous_(std::move(CurrentSink())) {
  CurrentSink() = std::move(sink);
}

ScopedSink::~ScopedSink() {
  CurrentSink() = std::move(previous_);
}

}  // namespace quillpost::relay::maillog
