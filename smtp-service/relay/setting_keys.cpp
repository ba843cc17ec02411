#include "relay/setting_keys.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <sstream>

#include "cli/setting_values.h"
#include "mail/server_list.h"
#include "mail/token_command.h"
#include "message/address_syntax.h"
#include "relay/attachment_rules.h"

namespace quillpost::relay {
namespace {

using cli::NonEmpty;
using cli::WholeNumber;
using cli::YesNo;

[[noreturn]] void Bad(std::string_view key, std::string_view value, std::string_view why) {
  cli::BadSetting(key, value, why);
}

smtp::Security SecurityMode(std::string_view key, std::string_view value) {
  if (value == "none") {
    return smtp::Security::None;
  }
  if (value == "starttls") {
    return smtp::Security::StartTlsWhenOffered;
  }
  if (value == "starttls-required") {
    return smtp::Security::StartTlsRequired;
  }
  if (value == "tls") {
    return smtp::Security::Tls;
  }
  Bad(key, value, "expected none, starttls, starttls-required or tls");
}

std::chrono::milliseconds Interval(std::string_view key, std::string_view value,
                                   double longest = 86400) {
  // Seconds, fractions allowed: tests use intervals well under a second.
  const std::string text(value);
  std::istringstream in(text);
  double seconds = 0;
  in >> seconds;
  if (text.empty() || in.fail() || !in.eof() || !std::isfinite(seconds) || seconds < 0.01 ||
      seconds > longest) {
    Bad(key, value,
        "expected a number of seconds from 0.01 to " + std::to_string(std::lround(longest)));
  }
  return std::chrono::milliseconds(std::llround(seconds * 1000));
}

// Reads the first line only, and no further than a password can be long: a
// path such as /dev/zero must not be read for as long as memory lasts.
// Mails per second: "N", "N/s" or "N/min"; 0 or "unlimited" for none.
double SendRate(std::string_view key, std::string_view value) {
  if (value == "unlimited") {
    return 0;
  }
  double per = 1;
  std::string_view number = value;
  if (value.ends_with("/min")) {
    per = 60;
    number.remove_suffix(4);
  } else if (value.ends_with("/s")) {
    number.remove_suffix(2);
  }
  double rate = 0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), rate);
  if (number.empty() || error != std::errc() || end != number.data() + number.size() || rate < 0 ||
      rate > 1e6) {
    Bad(key, value, "expected mails per second, or per minute with /min (e.g. 10 or 600/min)");
  }
  return rate / per;
}

std::string PasswordFromFile(std::string_view key, std::string_view path) {
  constexpr std::size_t kMaxPasswordBytes = 4096;
  std::ifstream in{std::string(path), std::ios::binary};
  if (!in) {
    Bad(key, path, "the file cannot be read");
  }
  std::string password;
  char c = 0;
  while (password.size() <= kMaxPasswordBytes && in.get(c) && c != '\n') {
    password += c;
  }
  if (password.size() > kMaxPasswordBytes) {
    Bad(key, path, "its first line is longer than " + std::to_string(kMaxPasswordBytes) + " bytes");
  }
  if (!password.empty() && password.back() == '\r') {
    password.pop_back();
  }
  return password;
}

// A domain, or a whole address when value holds an @.
std::string NotifyFrom(std::string_view key, std::string_view value) {
  const std::string text(value);
  if (text.empty()) {
    return text;
  }
  if (text.find('@') != std::string::npos ? !message::IsValidRecipientAddress(text)
                                          : !message::IsValidEhloName(text)) {
    Bad(key, value, "expected a domain name or an e-mail address");
  }
  return text;
}

}  // namespace

const std::vector<SettingKey>& SettingKeys() {
  static const std::vector<SettingKey> keys = {
      {"inbound_queue", "NAME", "queue the requests arrive on (kvr_mailer)", true},
      {"retry_queue_a", "NAME", "retry queue A (kvr_mailer_rA)", true},
      {"retry_queue_b", "NAME", "retry queue B (kvr_mailer_rB)", true},
      {"dead_letter_queue", "NAME", "where undeliverable requests go (kvr_mailer_dead)", true},
      {"smtp_server", "HOST", "SMTP relay host (localhost)", true},
      {"smtp_port", "N", "SMTP port (25)", true},
      {"smtp_security", "MODE", "none|starttls|starttls-required|tls (starttls)", true},
      {"smtp_user", "NAME", "user for SMTP AUTH (none)", true},
      {"smtp_password", "TEXT", "password for SMTP AUTH (config file only)", false},
      {"smtp_password_file", "FILE", "file whose first line is the SMTP password", true},
      {"smtp_verify_certificate", "yes|no", "check the server's TLS certificate (yes)", true},
      {"smtp_ca_file", "FILE", "CA bundle for that check (system store)", true},
      {"smtp_allow_plain_auth", "yes|no", "allow AUTH without TLS (no)", true},
      {"smtp_ehlo_name", "NAME", "name given in EHLO (this host's name)", true},
      {"smtp_connect_timeout", "SECONDS", "connection time-out (30)", true},
      {"smtp_reply_timeout", "SECONDS", "time-out for each server reply (60)", true},
      {"smtp_idle_timeout", "SECONDS",
       "how long a session is kept for the next mail; 0: one per mail (30)", true},
      {"log_file", "PATH", "activity log file ($XDG_STATE_HOME/quillpost/kvrsmtp.log)", true},
      {"retry_interval", "SECONDS", "retryswap interval, fractions allowed (60)", true},
      {"retry_allowance", "N", "tries per request, first delivery included (4)", true},
      {"exit_on_startup_failure", "yes|no",
       "end the program when start-up fails, with exit code 3 (no)", false},
      {"max_attachment_size", "MB", "largest total size of a mail's attachments (25)", true},
      {"smtp_auth", "METHOD", "password|xoauth2|oauthbearer (password)", true},
      {"smtp_oauth2_token_command", "COMMAND",
       "command (no shell) that prints the OAuth2 access token", true},
      {"smtp_oauth2_token_lifetime", "SECONDS",
       "how long a token is used before the command runs again; 0: every connection (300)", true},
      {"broker_password_file", "FILE",
       "file whose first line is the password of amqp:// queue names with a user but none", true},
      {"attachment_roots", "FOLDERS",
       "folders attachments must lie in, separated by commas (any, for a store of one user)", true},
      {"defer_interval", "SECONDS",
       "first wait of a request deferred after its tries (300), growing from there", true},
      {"max_defer_interval", "SECONDS", "longest wait between deferred tries (3600)", true},
      {"max_queue_lifetime", "SECONDS",
       "how long a failing request is kept from its first submission (432000: 5 days)", true},
      {"max_parallel_deliveries", "N",
       "SMTP sessions delivering at the same time; 1: one mail at a time (20)", true},
      {"max_send_rate", "N[/s|/min]",
       "most mails sent per second, or per minute with /min, over all sessions (no limit)", true},
      {"notify", "never|failure|failure,delay",
       "tell the sender of a mail given up on, and with delay of one still deferred, by a "
       "delivery status notification (failure)",
       true},
      {"delay_warning_time", "SECONDS",
       "with notify = failure,delay: how long a mail is deferred before its sender is told, once "
       "(14400: 4 hours)",
       true},
      {"notify_from", "DOMAIN|ADDRESS",
       "notices come from MAILER-DAEMON@DOMAIN, or ADDRESS (the EHLO name)", true},
      {"notify_copy_to", "ADDRESS", "gets a copy of every notice (nobody)", true},
      {"notify_return", "headers|full",
       "a notice carries the original's header or all of it (headers)", true},
      {"metrics_listen", "ADDR:PORT",
       "serve Prometheus metrics at /metrics there: 127.0.0.1:PORT or [::1]:PORT (off)", true},
  };
  return keys;
}

void ApplySetting(Settings& settings, std::string_view key, std::string_view value) {
  auto& connection = settings.connection;
  if (key == "inbound_queue") {
    settings.inboundQueueName = NonEmpty(key, value);
  } else if (key == "retry_queue_a") {
    settings.retryQueueNameA = NonEmpty(key, value);
  } else if (key == "retry_queue_b") {
    settings.retryQueueNameB = NonEmpty(key, value);
  } else if (key == "dead_letter_queue") {
    settings.deadLetterQueueName = NonEmpty(key, value);
  } else if (key == "smtp_server") {
    settings.smtpServer = NonEmpty(key, value);
  } else if (key == "smtp_port") {
    connection.port = static_cast<int>(WholeNumber(key, value, 1, 65535));
  } else if (key == "smtp_security") {
    connection.security = SecurityMode(key, value);
  } else if (key == "smtp_user") {
    connection.user = std::string(value);
  } else if (key == "smtp_password") {
    connection.password = std::string(value);
  } else if (key == "smtp_password_file") {
    connection.password = PasswordFromFile(key, value);
    connection.attachments.forbidden.emplace_back(value);
  } else if (key == "broker_password_file") {
    settings.brokerPasswordFile = NonEmpty(key, value);
    connection.attachments.forbidden.emplace_back(value);
  } else if (key == "smtp_verify_certificate") {
    connection.verifyCertificate = YesNo(key, value);
  } else if (key == "smtp_ca_file") {
    connection.caFile = std::string(value);
  } else if (key == "smtp_allow_plain_auth") {
    connection.allowPlainTextAuth = YesNo(key, value);
  } else if (key == "smtp_ehlo_name") {
    connection.ehloName = std::string(value);
  } else if (key == "smtp_connect_timeout") {
    connection.connectTimeout = std::chrono::seconds(WholeNumber(key, value, 1, 3600));
  } else if (key == "smtp_reply_timeout") {
    connection.replyTimeout = std::chrono::seconds(WholeNumber(key, value, 1, 3600));
  } else if (key == "smtp_idle_timeout") {
    connection.idleSessionTimeout = std::chrono::seconds(WholeNumber(key, value, 0, 3600));
  } else if (key == "log_file") {
    settings.logFile = NonEmpty(key, value);
  } else if (key == "retry_interval") {
    settings.retrySwapInterval = Interval(key, value);
  } else if (key == "exit_on_startup_failure") {
    settings.exitOnStartupFailure = YesNo(key, value);
  } else if (key == "defer_interval") {
    settings.deferInterval = Interval(key, value);
  } else if (key == "max_defer_interval") {
    settings.maxDeferInterval = Interval(key, value);
  } else if (key == "max_queue_lifetime") {
    settings.maxQueueLifetime = Interval(key, value, 366.0 * 86400);
  } else if (key == "retry_allowance") {
    settings.retryAllowance = static_cast<int>(WholeNumber(key, value, 1, 32767));
  } else if (key == "max_attachment_size") {
    connection.attachments.maxTotalSize =
        static_cast<std::uint64_t>(WholeNumber(key, value, 1, 1'000'000)) * 1024 * 1024;
  } else if (key == "smtp_auth") {
    if (value == "password") {
      connection.authMethod = smtp::AuthMethod::Password;
    } else if (value == "xoauth2") {
      connection.authMethod = smtp::AuthMethod::XOAuth2;
    } else if (value == "oauthbearer") {
      connection.authMethod = smtp::AuthMethod::OAuthBearer;
    } else {
      Bad(key, value, "expected password, xoauth2 or oauthbearer");
    }
  } else if (key == "smtp_oauth2_token_command") {
    connection.tokenCommand = smtp::SplitCommand(std::string(value));
    if (connection.tokenCommand.empty()) {
      Bad(key, value, "expected a command, quoted as for a shell");
    }
  } else if (key == "max_parallel_deliveries") {
    settings.maxParallelDeliveries = static_cast<int>(WholeNumber(key, value, 1, 500));
  } else if (key == "max_send_rate") {
    settings.maxSendRate = SendRate(key, value);
  } else if (key == "smtp_oauth2_token_lifetime") {
    connection.tokenLifetime = std::chrono::seconds(WholeNumber(key, value, 0, 86400));
  } else if (key == "metrics_listen") {
    std::string why;
    settings.metricsListen = ParseListenAddress(value, why);
    if (!settings.metricsListen) {
      Bad(key, value, why);
    }
  } else if (key == "notify") {
    const std::vector<std::string> items = smtp::ListItems(value);
    const auto has = [&items](const char* item) {
      return std::find(items.begin(), items.end(), item) != items.end();
    };
    if (value == "never") {
      settings.notifyFailure = settings.notifyDelay = false;
    } else if (items.size() == 1 && has("failure")) {
      settings.notifyFailure = true;
      settings.notifyDelay = false;
    } else if (items.size() == 2 && has("failure") && has("delay")) {
      settings.notifyFailure = settings.notifyDelay = true;
    } else {
      Bad(key, value, "expected never, failure or failure,delay");
    }
  } else if (key == "delay_warning_time") {
    settings.delayWarningTime = Interval(key, value, 366.0 * 86400);
  } else if (key == "notify_from") {
    settings.notifyFrom = NotifyFrom(key, value);
  } else if (key == "notify_copy_to") {
    if (!value.empty() && !message::IsValidRecipientAddress(std::string(value))) {
      Bad(key, value, "expected an e-mail address");
    }
    settings.notifyCopyTo = std::string(value);
  } else if (key == "notify_return") {
    if (value != "headers" && value != "full") {
      Bad(key, value, "expected headers or full");
    }
    settings.notifyReturnFull = value == "full";
  } else if (key == "attachment_roots") {
    connection.attachments.roots = smtp::ListItems(value);
  } else {
    throw UsageError("unknown setting '" + std::string(key) + "'");
  }
}

}  // namespace quillpost::relay
