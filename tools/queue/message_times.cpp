#include "message_times.h"

#include <ctime>
#include <string>

#include "activitylog/log_entry.h"

namespace quillpost::queue {

void WriteMessageTimes(std::ostream& out, const PeekedMessage& message) {
  constexpr const char* kIndent = "                           ";
  if (message.notBefore > std::chrono::system_clock::now()) {
    const std::time_t when = std::chrono::system_clock::to_time_t(message.notBefore);
    std::tm utc{};
    gmtime_r(&when, &utc);
    char text[32] = {};
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
    out << kIndent << "next try: " << text << '\n';
  }
  if (!message.lastFailure.empty()) {  // escaped: it may hold a server's words
    out << kIndent << "last failure: " << activitylog::EscapeForLog(message.lastFailure) << '\n';
  }
}

}  // namespace quillpost::queue
