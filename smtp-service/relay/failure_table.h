#pragma once

// The activity log entry written for each failure number of a mail send.

#include <string>

namespace quillpost::relay {

struct LogEntry {
  std::string message;
  std::string data;

  bool operator==(const LogEntry&) const = default;
};

LogEntry DescribeSendFailure(int number);

}  // namespace quillpost::relay
