#include "received_field.h"

#include <time.h>

#include <array>
#include <cstdio>
#include <cstdlib>

namespace quillpost::smtpd {

std::string MessageDate(std::chrono::system_clock::time_point when) {
  static constexpr std::array<const char*, 7> kDays{"Sun", "Mon", "Tue", "Wed",
                                                    "Thu", "Fri", "Sat"};
  static constexpr std::array<const char*, 12> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const time_t seconds = std::chrono::system_clock::to_time_t(when);
  struct tm local {};
  ::localtime_r(&seconds, &local);
  const long offset = local.tm_gmtoff / 60;
  std::array<char, 64> text{};
  std::snprintf(text.data(), text.size(), "%s, %d %s %d %02d:%02d:%02d %c%02ld%02ld",
                kDays.at(static_cast<std::size_t>(local.tm_wday)), local.tm_mday,
                kMonths.at(static_cast<std::size_t>(local.tm_mon)), local.tm_year + 1900,
                local.tm_hour, local.tm_min, local.tm_sec, offset < 0 ? '-' : '+',
                std::labs(offset) / 60, std::labs(offset) % 60);
  return text.data();
}

std::string ReceivedField(const TraceDetails& details) {
  // An address literal as RFC 5321 section 4.1.3 writes it: [192.0.2.1], [IPv6:2001:db8::1].
  const std::string literal =
      (details.clientAddress.find(':') != std::string::npos ? "[IPv6:" : "[") +
      details.clientAddress + "]";
  std::string field = "Received: from " + details.clientGreeting + " (" + literal + ")\r\n\tby " +
                      details.serverName + " (quillpost-smtpd) with " + details.protocol + " id " +
                      details.id;
  if (!details.recipient.empty()) {
    field += "\r\n\tfor <" + details.recipient + ">";
  }
  field += ";\r\n\t" + MessageDate(details.when) + "\r\n";
  return field;
}

}  // namespace quillpost::smtpd
