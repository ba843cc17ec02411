#include "relay/stdout_status_view.h"

namespace quillpost::relay {

void StdoutStatusView::AppendLine(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

}  // namespace quillpost::relay
