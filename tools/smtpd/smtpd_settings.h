#pragma once

// What quillpost-smtpd can be told, from its config file and its command
// line (smtpd_setting_keys.h), with the defaults it runs on.

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/setting_values.h"
#include "network_list.h"
#include "relay/listen_address.h"

namespace quillpost::smtpd {

using namespace std::chrono_literals;

// A bad option, value or config line: the program exits with code 2.
using cli::UsageError;

inline constexpr int kExitBadSettings = 2;
inline constexpr int kExitStartupFailed = 3;

inline constexpr const char* kSystemConfigFile = "/etc/quillpost/smtpd.conf";

enum class MailLogTarget { Syslog, StandardError };

// max_message_size: by default 25 MiB, what the large providers take; at
// most what a request on a queue in a store carries (the library's
// kDefaultMaxMessageSize and kMaxMessageSizeLimit).
inline constexpr std::uint64_t kDefaultMaxMessageSize = std::uint64_t{25} * 1024 * 1024;
inline constexpr std::uint64_t kLargestMaxMessageSize = std::uint64_t{40} * 1024 * 1024;

struct SmtpdSettings {
  // Empty: the sockets systemd passes, else 127.0.0.1:25 and [::1]:25.
  std::vector<relay::ListenAddress> listen;
  std::string queue = "kvr_mailer";
  std::string serverName;  // empty: the host name
  // What the queue takes today: a whole message travels in base64 within
  // the queue's 4 MiB limit.
  std::uint64_t maxMessageSize = kDefaultMaxMessageSize;
  int maxRecipients = 100;
  int maxConnections = 100;
  int maxConnectionsPerClient = 10;
  // RFC 5321 section 4.5.3.2: 5 minutes for a command, 3 for each block of
  // data.
  std::chrono::milliseconds commandTimeout = 300s;
  std::chrono::milliseconds dataTimeout = 180s;
  NetworkList allowNetworks = NetworkList::Parse("127.0.0.0/8, ::1");
  bool allowNetworksGiven = false;
  std::string tlsCertificate;
  std::string tlsKey;
  std::string passwordFile;
  bool restrictSenders = false;
  std::optional<relay::ListenAddress> metricsListen;
  MailLogTarget mailLog = MailLogTarget::Syslog;
};

}  // namespace quillpost::smtpd
