// quillpost-smtp: the relay service.

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "eventlog/event_log.h"
#include "relay/command_line.h"
#include "relay/file_log_writer.h"
#include "relay/queue_access.h"
#include "relay/relay_loop.h"
#include "relay/status.h"
#include "relay/stdout_status_view.h"

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

  CommandLine commandLine;
  try {
    commandLine = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const UsageError& e) {
    std::fprintf(stderr, "quillpost-smtp: %s\n", e.what());
    return 2;
  }
  if (commandLine.help) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }
  Settings& settings = commandLine.settings;
  PrepareLogFile(settings);

  // QtCore only: the service must start where no display server exists.
  QCoreApplication application(argc, argv);
  RelayLoop loop;
  StoreQueueAccess queues;
  FileLogWriter log(settings.logFile);
  const bool verifyCertificate = settings.connection.verifyCertificate;
  const std::string server = settings.smtpServer;
  Status status(std::move(settings), ServiceParts{queues, SmtpMailFactory(), log, loop, [] {
                                                    std::fflush(nullptr);
                                                    std::_Exit(0);
                                                  }});
  StdoutStatusView view;
  status.AttachView(view);

  status.Startup();
  if (!verifyCertificate) {
    status.WriteLog("TLS certificate checks are turned off", "Server=" + server);
  }
  loop.Attach(status);
  return QCoreApplication::exec();
}
