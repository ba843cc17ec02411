// quillpost-smtp: the relay service.

#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "eventlog/event_log.h"
#include "mail/session_cache.h"
#include "metrics/metrics_service.h"
#include "program/desktop_loader.h"
#include "program/relay_loop.h"
#include "program/startup_line.h"
#include "queue/broker/broker_password.h"
#include "quillpost_version.h"
#include "relay/command_line.h"
#include "relay/file_log_writer.h"
#include "relay/queue_access.h"
#include "relay/status.h"
#include "relay/stdout_status_view.h"
#include "relay/systemd_notifier.h"

namespace {

using quillpost::relay::Settings;

// The default log file lives in the state folder, which may not exist yet.
void PrepareLogFile(Settings& settings) {
  if (!settings.logFile.empty()) {
    return;
  }
  settings.logFile = quillpost::relay::DefaultLogFile();
  const std::string folder = quillpost::relay::DefaultStateFolder();
  if (folder.empty()) {
    return;
  }
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) {
    const std::string text =
        "quillpost-smtp: cannot create the log folder " + folder + ": " + error.message();
    quillpost::eventlog::ReportError(text);
    std::fprintf(stderr, "%s\n", text.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quillpost::relay;
  using quillpost::program::RelayLoop;

  CommandLine commandLine;
  try {
    commandLine = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const UsageError& e) {
    std::fprintf(stderr, "quillpost-smtp: %s\n", e.what());
    return kExitBadSettings;
  }
  if (commandLine.version) {
    return quillpost::PrintVersion("quillpost-smtp");
  }
  if (commandLine.help) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }
  // Dates and times in the activity log follow the user's locale.
  std::setlocale(LC_ALL, "");
  // A peer that drops its connection, or a reader that closes standard
  // output, must fail a write, not end the service.
  std::signal(SIGPIPE, SIG_IGN);
  Settings& settings = commandLine.settings;
  if (!settings.brokerPasswordFile.empty()) {
    ::setenv(quillpost::queue::kBrokerPasswordFileVariable, settings.brokerPasswordFile.c_str(), 1);
  }
  PrepareLogFile(settings);

  // Listening is part of the settings' check: an address that cannot be
  // served is refused like a bad option, before anything else starts.
  std::unique_ptr<quillpost::metrics::MetricsService> metrics;
  if (settings.metricsListen) {
    try {
      metrics = std::make_unique<quillpost::metrics::MetricsService>(
          *settings.metricsListen,
          std::vector<quillpost::metrics::WatchedQueue>{{"inbound", settings.inboundQueueName},
                                                        {"retry_a", settings.retryQueueNameA},
                                                        {"retry_b", settings.retryQueueNameB}});
    } catch (const std::exception& e) {
      std::fprintf(stderr, "quillpost-smtp: %s\n", e.what());
      return kExitBadSettings;
    }
  }

  // Headless, or without a display, the service loads no GUI library and
  // creates no GUI object at all, so that it starts where no display server
  // exists. With one, the window module brings the application object, the
  // status window and the tray icon; they outlive the service.
  quillpost::program::LoadedDesktop desktop;
  if (quillpost::program::WantsWindow(settings.headless, std::getenv("DISPLAY"),
                                      std::getenv("WAYLAND_DISPLAY"))) {
    desktop = quillpost::program::OpenDesktop(quillpost::program::WindowModulePath(), argc, argv);
  }
  RelayLoop loop;
  // Sessions kept open between mails end once the queues have been quiet for
  // longer than the component keeps them.
  if (const auto idle = settings.connection.idleSessionTimeout; idle.count() > 0) {
    loop.SetQuietSweep(idle + std::chrono::milliseconds(500),
                       [] { quillpost::smtp::SessionCache::Process().CloseIdle(); });
  }
  StoreQueueAccess queues;
  FileLogWriter log(settings.logFile);
  const bool verifyCertificate = settings.connection.verifyCertificate;
  const std::string server = settings.smtpServer;
  const bool exitOnStartupFailure = settings.exitOnStartupFailure;
  const std::string attachmentRefusal = settings.connection.attachments.refusal;
  const std::string metricsUrl = settings.metricsListen
                                     ? "http://" + settings.metricsListen->Text() + "/metrics"
                                     : std::string();
  const std::string startupLine = quillpost::program::StartupLine(settings, metricsUrl);
  const auto maxParallel = static_cast<std::size_t>(settings.maxParallelDeliveries);
  const double maxSendRate = settings.maxSendRate;
  const auto idleSessionTimeout = settings.connection.idleSessionTimeout;
  Status status(std::move(settings), ServiceParts{queues, SmtpMailFactory(), log, loop, [] {
                                                    std::fflush(nullptr);
                                                    std::_Exit(0);
                                                  }});
  // Mails go out over several sessions at once from the pool's threads; one
  // at a time, they go out from this thread as they always did.
  std::optional<DeliveryPool> pool;
  if (maxParallel > 1) {
    pool.emplace(maxParallel, maxSendRate, idleSessionTimeout);
    status.AttachDeliveryPool(*pool, maxParallel);
  }
  StdoutStatusView view;
  if (desktop) {
    // Quit and closing the window run the shutdown.
    desktop->SetShutdown([&status] { status.Shutdown(); });
    status.AttachView(desktop->View());
  } else {
    status.AttachView(view);
  }

  SystemdNotifier notifier;
  status.AttachNotifier(notifier);
  if (metrics) {
    status.AttachObserver(metrics->Observer());
  }
  if (!status.Startup() && exitOnStartupFailure) {
    std::fflush(nullptr);
    return kExitStartupFailed;
  }
  if (desktop) {
    desktop->ShowUnlessHidden();
  }
  if (!verifyCertificate) {
    status.WriteLog("TLS certificate checks are turned off", "Server=" + server);
  }
  if (!attachmentRefusal.empty()) {
    status.WriteLog("Every attachment is refused until attachment_roots is set",
                    "Reason=" + attachmentRefusal);
  }
  if (metrics) {
    status.WriteLog("Serving metrics", "Url=" + metricsUrl);
  }
  loop.Attach(status);
  if (desktop) {
    return desktop->Run(loop.Descriptor(), [&loop] { loop.HandleReady(); });
  }
  std::fprintf(stderr, "%s\n", startupLine.c_str());
  loop.Run();
}
