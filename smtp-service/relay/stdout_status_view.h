#pragma once

#include <cstdio>

#include "relay/status_view.h"

namespace quillpost::relay {

// The headless view: one status line per output line; the lines of one mail
// go out together.
class StdoutStatusView final : public StatusView {
 public:
  explicit StdoutStatusView(std::FILE* out = stdout) : out_(out) {}

  void AppendLine(std::string_view line) override;
  void Flush() override;
  void Clear() override {}

 private:
  std::FILE* out_;
};

}  // namespace quillpost::relay
