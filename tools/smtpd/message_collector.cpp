#include "message_collector.h"

namespace quillpost::smtpd {

bool MessageCollector::Add(std::string_view line, bool tooLong) {
  if (line == "." && !tooLong) {
    return false;
  }
  if (line.starts_with('.')) {
    line.remove_prefix(1);
  }
  size_ += line.size() + 2;
  if (fault_ == MessageFault::None) {
    if (size_ > maxSize_) {
      fault_ = MessageFault::TooLarge;
    } else if (tooLong) {
      fault_ = MessageFault::LongLine;
    } else if (line.find_first_of("\r\n") != std::string_view::npos) {
      fault_ = MessageFault::BareLineEnd;
    }
  }
  if (fault_ == MessageFault::None) {
    text_.append(line).append("\r\n");
  } else {
    // Nothing of a refused message is kept in memory.
    text_.clear();
    text_.shrink_to_fit();
  }
  return true;
}

}  // namespace quillpost::smtpd
