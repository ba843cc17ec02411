#include "message_times.h"

#include <ctime>
#include <string>

#include "activitylog/log_entry.h"

namespace quillpost::queue {
namespace {

std::string Format(TimePoint when, const char* format, bool local) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm parts{};
  if (local) {
    localtime_r(&seconds, &parts);
  } else {
    gmtime_r(&seconds, &parts);
  }
  char text[48] = {};
  std::strftime(text, sizeof text, format, &parts);
  return text;
}

std::string TwoDigits(long long value) {
  return (value < 10 ? "0" : "") + std::to_string(value);
}

}  // namespace

std::string UtcText(TimePoint when) {
  return Format(when, "%Y-%m-%d %H:%M:%S UTC", false);
}

std::string IsoText(TimePoint when) {
  return Format(when, "%Y-%m-%dT%H:%M:%SZ", false);
}

std::string MailqTimeText(TimePoint when) {
  return Format(when, "%a %b %e %H:%M:%S", true);
}

std::string AgeText(TimePoint arrived, TimePoint now) {
  const long long seconds =
      std::max<long long>(0, std::chrono::floor<std::chrono::seconds>(now - arrived).count());
  const long long minutes = seconds / 60;
  const long long hours = minutes / 60;
  const long long days = hours / 24;
  if (days > 0) {
    return std::to_string(days) + "d " + std::to_string(hours % 24) + "h";
  }
  if (hours > 0) {
    return std::to_string(hours) + "h " + TwoDigits(minutes % 60) + "m";
  }
  if (minutes > 0) {
    return std::to_string(minutes) + "m " + TwoDigits(seconds % 60) + "s";
  }
  return std::to_string(seconds) + "s";
}

void WriteMessageTimes(std::ostream& out, const PeekedMessage& message) {
  constexpr const char* kIndent = "                           ";
  if (message.notBefore > std::chrono::system_clock::now()) {
    out << kIndent << "next try: " << UtcText(message.notBefore) << '\n';
  }
  if (!message.lastFailure.empty()) {  // escaped: it may hold a server's words
    out << kIndent << "last failure: " << activitylog::EscapeForLog(message.lastFailure) << '\n';
  }
}

}  // namespace quillpost::queue
