#include "eventlog/event_log.h"

#include <syslog.h>

#include <mutex>
#include <string>

namespace quillpost::eventlog {
namespace {

std::mutex& SinkMutex() {
  static std::mutex mutex;
  return mutex;
}

Sink& CurrentSink() {
  static Sink sink;
  return sink;
}

void WriteSyslog(std::string_view text) {
  const std::string entry(text);
  // LOG_PID and the identifier let an administrator tell which program complained.
  openlog("quillpost", LOG_PID, LOG_USER);
  syslog(LOG_ERR, "%s", entry.c_str());
}

}  // namespace

void ReportError(std::string_view text) noexcept {
  try {
    std::lock_guard lock(SinkMutex());
    if (CurrentSink()) {
      CurrentSink()(text);
    } else {
      WriteSyslog(text);
    }
  } catch (...) {
    // The event log is the last resort; there is nowhere left to report to.
  }
}

Sink ReplaceSink(Sink sink) {
  std::lock_guard lock(SinkMutex());
  Sink previous = std::move(CurrentSink());
  CurrentSink() = std::move(sink);
  return previous;
}

}  // namespace quillpost::eventlog
