#include "progress_line.h"

#include <algorithm>

namespace quillpost::queue {
namespace {

// Often enough to look alive, seldom enough to cost nothing.
constexpr std::chrono::milliseconds kInterval{100};

}  // namespace

ProgressLine::ProgressLine(std::ostream& err, bool shown, std::string doing)
    : err_(err), shown_(shown), doing_(std::move(doing)) {}

ProgressLine::~ProgressLine() {
  if (width_ > 0) {
    err_ << '\r' << std::string(width_, ' ') << '\r' << std::flush;
  }
}

void ProgressLine::Update(std::size_t done, std::size_t total) {
  const auto now = std::chrono::steady_clock::now();
  if (!shown_ || (now - last_ < kInterval && done < total)) {
    return;
  }
  last_ = now;
  const std::size_t percent = total == 0 ? 100 : done * 100 / total;
  const std::string line = doing_ + ": " + std::to_string(done) + " of " + std::to_string(total) +
                           " messages (" + std::to_string(percent) + "%)";
  err_ << '\r' << line;
  if (line.size() < width_) {
    err_ << std::string(width_ - line.size(), ' ');
  }
  err_ << std::flush;
  width_ = std::max(width_, line.size());
}

}  // namespace quillpost::queue
