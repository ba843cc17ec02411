#pragma once

#include <string>

namespace quillpost::relay {

// Where the service's activity log entries go. Never throws.
class LogWriter {
 public:
  virtual ~LogWriter() = default;
  virtual void WriteLog(const std::string& message, const std::string& data) = 0;
};

}  // namespace quillpost::relay
