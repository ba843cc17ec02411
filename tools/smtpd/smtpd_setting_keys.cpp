#include "smtpd_setting_keys.h"

#include <charconv>
#include <cmath>
#include <sstream>

#include "cli/config_lines.h"
#include "cli/setting_values.h"

namespace quillpost::smtpd {
namespace {

using cli::NonEmpty;
using cli::YesNo;

[[noreturn]] void Bad(std::string_view key, std::string_view value, std::string_view why) {
  cli::BadSetting(key, value, why);
}

std::uint64_t WholeNumber(std::string_view key, std::string_view value, std::uint64_t lowest,
                          std::uint64_t highest) {
  return static_cast<std::uint64_t>(
      cli::WholeNumber(key, value, static_cast<long>(lowest), static_cast<long>(highest)));
}

std::chrono::milliseconds Seconds(std::string_view key, std::string_view value) {
  const std::string text(value);
  std::istringstream in(text);
  double seconds = 0;
  in >> seconds;
  if (text.empty() || in.fail() || !in.eof() || !std::isfinite(seconds) || seconds < 0.01 ||
      seconds > 86400) {
    Bad(key, value, "expected a number of seconds from 0.01 to 86400");
  }
  return std::chrono::milliseconds(std::llround(seconds * 1000));
}

relay::ListenAddress Address(std::string_view key, std::string_view value) {
  std::string why;
  const auto address = relay::ParseListenAddress(value, why);
  if (!address) {
    Bad(key, value, why);
  }
  return *address;
}

}  // namespace

const std::vector<SettingKey>& SettingKeys() {
  static const std::vector<SettingKey> keys{
      {"listen", "ADDRESS:PORT",
       "listen here (repeatable; 127.0.0.1:25 and [::1]:25 without it and without systemd)"},
      {"queue", "PATH-NAME", "the queue to put messages on (kvr_mailer, in the default store)"},
      {"server_name", "NAME", "this host's name in replies and the Received: field"},
      {"max_message_size", "OCTETS",
       "largest message taken, announced with SIZE (26214400, at most 41943040)"},
      {"max_recipients", "N", "recipients per message (100)"},
      {"max_connections", "N", "connections at the same time (100)"},
      {"max_connections_per_client", "N", "connections at the same time from one address (10)"},
      {"command_timeout", "SECONDS", "wait for a command (300)"},
      {"data_timeout", "SECONDS", "wait for each block of a message (180)"},
      {"allow_networks", "LIST",
       "networks that may submit without AUTH, comma-separated (127.0.0.0/8, ::1)"},
      {"tls_certificate", "FILE", "certificate chain for STARTTLS (PEM)"},
      {"tls_key", "FILE", "its private key (PEM)"},
      {"password_file", "FILE", "users for AUTH: user:crypt(3) hash[:sender addresses]"},
      {"restrict_senders", "yes|no", "a user may give only the senders of its line (no)"},
      {"metrics_listen", "ADDRESS:PORT", "serve /metrics for Prometheus here (off)"},
      {"mail_log", "syslog|stderr", "where the line per accepted message goes (syslog)"},
  };
  return keys;
}

void ApplySetting(SmtpdSettings& settings, std::string_view key, std::string_view value) {
  if (key == "listen") {
    settings.listen.push_back(Address(key, value));
  } else if (key == "queue") {
    settings.queue = NonEmpty(key, value);
  } else if (key == "server_name") {
    if (value.empty() || value.find_first_of(" \t\r\n") != std::string_view::npos) {
      Bad(key, value, "expected a host name");
    }
    settings.serverName = value;
  } else if (key == "max_message_size") {
    settings.maxMessageSize = WholeNumber(key, value, 1024, kLargestMaxMessageSize);
  } else if (key == "max_recipients") {
    settings.maxRecipients = static_cast<int>(WholeNumber(key, value, 1, 32767));
  } else if (key == "max_connections") {
    settings.maxConnections = static_cast<int>(WholeNumber(key, value, 1, 10000));
  } else if (key == "max_connections_per_client") {
    settings.maxConnectionsPerClient = static_cast<int>(WholeNumber(key, value, 1, 10000));
  } else if (key == "command_timeout") {
    settings.commandTimeout = Seconds(key, value);
  } else if (key == "data_timeout") {
    settings.dataTimeout = Seconds(key, value);
  } else if (key == "allow_networks") {
    try {
      settings.allowNetworks = NetworkList::Parse(value);
    } catch (const std::invalid_argument& e) {
      Bad(key, value, e.what());
    }
    settings.allowNetworksGiven = true;
  } else if (key == "tls_certificate") {
    settings.tlsCertificate = NonEmpty(key, value);
  } else if (key == "tls_key") {
    settings.tlsKey = NonEmpty(key, value);
  } else if (key == "password_file") {
    settings.passwordFile = NonEmpty(key, value);
  } else if (key == "restrict_senders") {
    settings.restrictSenders = YesNo(key, value);
  } else if (key == "metrics_listen") {
    settings.metricsListen = Address(key, value);
  } else if (key == "mail_log") {
    if (value != "syslog" && value != "stderr") {
      Bad(key, value, "expected syslog or stderr");
    }
    settings.mailLog = value == "syslog" ? MailLogTarget::Syslog : MailLogTarget::StandardError;
  } else {
    throw UsageError("unknown setting '" + std::string(key) + "'");
  }
}

}  // namespace quillpost::smtpd
