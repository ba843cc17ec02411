#include "relay/stdout_status_view.h"

#include <string>

#include "activitylog/log_entry.h"

namespace quillpost::relay {

void StdoutStatusView::AppendLine(std::string_view line) {
  // A value's line breaks must not start status lines of their own.
  const std::string escaped = activitylog::EscapeForLog(line);
  std::fwrite(escaped.data(), 1, escaped.size(), out_);
  std::fputc('\n', out_);
}

void StdoutStatusView::Flush() {
  std::fflush(out_);
}

}  // namespace quillpost::relay
