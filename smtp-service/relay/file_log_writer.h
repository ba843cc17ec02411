#pragma once

#include "activitylog/activity_log.h"
#include "relay/log_writer.h"

namespace quillpost::relay {

// The activity log file at LogFile.
class FileLogWriter final : public LogWriter {
 public:
  explicit FileLogWriter(std::string path) : log_(std::move(path)) {}

  void WriteLog(const std::string& message, const std::string& data) override {
    log_.WriteLog(message, data);
  }

 private:
  activitylog::ActivityLog log_;
};

}  // namespace quillpost::relay
