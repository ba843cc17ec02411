#pragma once

// The relay's activity log: a plain-text file that gains one line per entry.

#include <string>

namespace quillpost::activitylog {

// The text that goes to the application event log when an entry is lost.
inline constexpr const char* kUnableToWrite = "KVR Mailer: Unable to write to log file.";

class ActivityLog {
 public:
  explicit ActivityLog(std::string path) : path_(std::move(path)) {}

  const std::string& Path() const { return path_; }

  // Appends "<local date> <local time> - <message> - <data>" and CR LF to the
  // file. Control characters and backslashes in message and data are escaped,
  // so an entry is always exactly one line. The file is opened (created with
  // mode 0644 if missing; parent folders are not created), written with one
  // write() and closed on every call, so it may be moved or deleted between
  // entries and concurrent writers never interleave inside a line. A path
  // that names anything but a regular file (a FIFO, a device) is not written.
  //
  // Never fails towards the caller: when the file cannot be written the entry
  // is lost and kUnableToWrite goes to the event log.
  void WriteLog(const std::string& message, const std::string& data) const noexcept;

 private:
  std::string path_;
};

}  // namespace quillpost::activitylog
