#include "mail_log.h"

#include <syslog.h>
#include <unistd.h>

#include "activitylog/log_entry.h"

namespace quillpost::smtpd {

std::string FormatMailLogLine(const QueuedMessage& message) {
  // Escaped as the relay's mail log is: nothing a client gives starts a line.
  const auto escape = [](std::string_view text) { return activitylog::EscapeForLog(text); };
  std::string line = "from=<" + escape(message.sender) + ">";
  for (const std::string& to : message.recipients) {
    line += ", to=<" + escape(to) + ">";
  }
  line += ", size=" + std::to_string(message.size) + ", id=" + message.id + ", client=[" +
          escape(message.client) + "]";
  return line;
}

void WriteMailLog(MailLogTarget target, const QueuedMessage& message) noexcept {
  try {
    const std::string line = FormatMailLogLine(message);
    if (target == MailLogTarget::StandardError) {
      const std::string whole = "quillpost-smtpd: " + line + "\n";
      // One write, so that lines of several sessions never mix.
      [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, whole.data(), whole.size());
      return;
    }
    openlog("quillpost/smtpd", LOG_PID, LOG_MAIL);
    syslog(LOG_MAIL | LOG_INFO, "%s", line.c_str());
  } catch (...) {
    // The message is queued all the same; the log is a record of it.
  }
}

}  // namespace quillpost::smtpd
