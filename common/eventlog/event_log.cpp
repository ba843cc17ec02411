#include "eventlog/event_log.h"

#include <mutex>
#include <string>

#include "eventlog/syslog_socket.h"

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

}  // namespace

void ReportError(std::string_view text) noexcept {
  try {
    std::lock_guard lock(SinkMutex());
    if (CurrentSink()) {
      CurrentSink()(text);
    } else {
      SendSyslogEntry(kSyslogSocket, text);
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
