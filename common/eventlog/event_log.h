#pragma once

// The application event log: where a component reports a failure that an
// administrator must see outside the activity log file. Entries go to syslog at
// LOG_USER | LOG_ERR under the identifier "quillpost" with the process id,
// unless the sink is replaced. They are sent over a socket of their own
// (syslog_socket.h): the process's openlog(3) settings stay the application's.

#include <functional>
#include <string_view>

namespace quillpost::eventlog {

// Receives the text of each error entry.
using Sink = std::function<void(std::string_view text)>;

// Adds one error entry. Never throws; a failing sink is ignored.
void ReportError(std::string_view text) noexcept;

// Replaces the process-wide sink and returns the previous one. An empty sink
// restores the syslog default.
Sink ReplaceSink(Sink sink);

// Installs a sink for the lifetime of the object (tests use it to see entries).
class ScopedSink {
 public:
  explicit ScopedSink(Sink sink) : previous_(ReplaceSink(std::move(sink))) {}
  ~ScopedSink() { ReplaceSink(std::move(previous_)); }
  ScopedSink(const ScopedSink&) = delete;
  ScopedSink& operator=(const ScopedSink&) = delete;

 private:
  Sink previous_;
};

}  // namespace quillpost::eventlog
