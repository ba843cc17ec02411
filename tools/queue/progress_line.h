#pragma once

// The progress of a long purge or move: one line on a terminal, rewritten in
// place, and gone when the work is done. Nothing at all when the output is
// not a terminal.

#include <chrono>
#include <cstddef>
#include <ostream>
#include <string>

namespace quillpost::queue {

class ProgressLine {
 public:
  // doing: "moving", "purging". shown: whether err is a terminal.
  ProgressLine(std::ostream& err, bool shown, std::string doing);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  void Update(std::size_t done, std::size_t total);

 private:
  std::ostream& err_;
  bool shown_;
  std::string doing_;
  std::size_t width_ = 0;  // of the line on the terminal
  std::chrono::steady_clock::time_point last_{};
};

}  // namespace quillpost::queue
