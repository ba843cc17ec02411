// What one try of a request leaves behind: its line in the mail log and the
// last failure that travels with the request.

#include <ctime>

#include "relay/status.h"

namespace quillpost::relay {

std::string Status::LastFailureText(const std::string& fallback) const {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char when[32] = {};
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &utc);
  std::string text = std::string(when) + ", ";
  if (current_.number != 0) {
    text += "failure " + std::to_string(current_.number) + ": " + current_.detail;
  } else {
    text += fallback.empty() ? current_.detail : fallback;
  }
  return text;
}

void Status::RecordOutcome(maillog::Status status, const std::vector<std::string>& to,
                           const std::string& detail, const std::string& notice) const {
  maillog::Outcome outcome;
  if (const std::optional<RequestIdentity>& identity = current_.identity) {
    outcome.queueId = identity->queueId;
    outcome.delay = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::system_clock::now() - identity->submitted);
    outcome.tries = identity->tries;
  } else {
    outcome.queueId = "NOQUEUE";
  }
  outcome.from = current_.from;
  outcome.to = to;
  outcome.relay = RelayName();
  outcome.status = status;
  outcome.detail = detail;
  outcome.notice = notice;
  maillog::Write(outcome);
}

}  // namespace quillpost::relay
