#pragma once

// Everything the relay service can be told: the built-in values are the
// defaults, a config file and command-line options may override each one.

#include <chrono>
#include <optional>
#include <string>

#include "mail/outgoing_mail.h"
#include "relay/listen_address.h"

namespace quillpost::relay {

struct Settings {
  std::string inboundQueueName = "kvr_mailer";
  std::string retryQueueNameA = "kvr_mailer_rA";
  std::string retryQueueNameB = "kvr_mailer_rB";
  // Where a request goes when it can be neither delivered nor retried.
  std::string deadLetterQueueName = "kvr_mailer_dead";
  // Password of amqp:// queue names with a user but no password (first line).
  std::string brokerPasswordFile;

  std::string smtpServer = "localhost";
  smtp::ConnectionSettings connection;

  // Empty: DefaultLogFile().
  std::string logFile;

  int retryAllowance = 4;
  std::chrono::milliseconds retrySwapInterval{60'000};
  // Once its tries are used up, a request that failed for a passing reason
  // waits from deferInterval to maxDeferInterval between tries, until it has
  // been queued for maxQueueLifetime since it was first seen.
  std::chrono::milliseconds deferInterval{5 * 60'000};
  std::chrono::milliseconds maxDeferInterval{60 * 60'000};
  std::chrono::milliseconds maxQueueLifetime{5 * 24 * 3600'000LL};

  // How many SMTP sessions deliver different requests at the same time; 1
  // sends one mail at a time on the service's own thread.
  int maxParallelDeliveries = 20;
  // Mails per second across all sessions; 0: no limit.
  double maxSendRate = 0;

  // Whether the sender of a mail hears that it was given up on, and that it
  // is still deferred delayWarningTime after its submission.
  bool notifyFailure = true;
  bool notifyDelay = false;
  std::chrono::milliseconds delayWarningTime{4 * 3600'000LL};
  // MAILER-DAEMON@ this domain (or this address, when it holds an @) sends
  // the notices; empty: the EHLO name, else this host's name.
  std::string notifyFrom;
  // Gets a copy of every notice; empty: nobody.
  std::string notifyCopyTo;
  // A notice carries the whole original instead of its header.
  bool notifyReturnFull = false;

  // Where /metrics is served for a monitor; empty: nowhere.
  std::optional<ListenAddress> metricsListen;

  bool headless = false;
  // A start-up that stops at a failed step ends the program (exit code
  // kExitStartupFailed) instead of running on with what was set up, so that a
  // service manager starts it again.
  bool exitOnStartupFailure = false;
};

// The folder that holds the default log file: $XDG_STATE_HOME/quillpost, else
// ~/.local/state/quillpost. Empty when neither variable is set.
std::string DefaultStateFolder();

// DefaultStateFolder()/kvrsmtp.log, or "kvrsmtp.log" when there is no folder.
std::string DefaultLogFile();

// The user's config file: $XDG_CONFIG_HOME/quillpost/smtp.conf, else
// ~/.config/quillpost/smtp.conf. Empty when neither variable is set.
std::string DefaultConfigFile();

// The system-wide config file, for a relay run as a system service.
inline constexpr const char* kSystemConfigFile = "/etc/quillpost/smtp.conf";

}  // namespace quillpost::relay
