#include "program/startup_line.h"

#include <exception>
#include <string>
#include <vector>

#include "mail/server_list.h"
#include "queue/path_name.h"
#include "queue/queue.h"
#include "relay/settings.h"

namespace quillpost::program {
namespace {

// A plain queue name lies in the default store; a path name names its own
// place, shown without a broker's user and password.
std::string Source(const std::string& inboundQueue) {
  if (inboundQueue.find("://") == std::string::npos) {
    return "store " + queue::DefaultStoreFolder();
  }
  return "queue " + queue::RedactPathName(inboundQueue);
}

// Each relay host with the port it is tried on.
std::string Hosts(const relay::Settings& settings) {
  std::vector<smtp::ServerAddress> servers;
  try {
    servers = smtp::ParseServerList(settings.smtpServer);
  } catch (const std::exception&) {
    // Every mail will report the bad list; the line shows it as it was given.
    return settings.smtpServer;
  }
  std::string hosts;
  for (const smtp::ServerAddress& server : servers) {
    if (!hosts.empty()) {
      hosts += ", ";
    }
    if (server.port) {
      hosts += server.item;
    } else {
      const bool ipv6 = server.host.find(':') != std::string::npos;
      hosts += (ipv6 ? "[" + server.host + "]" : server.host) + ":" +
               std::to_string(settings.connection.port);
    }
  }
  return hosts;
}

}  // namespace

std::string StartupLine(const relay::Settings& settings, const std::string& metricsUrl) {
  std::string line = "quillpost-smtp: relaying from " + Source(settings.inboundQueueName) + " to " +
                     Hosts(settings) + "; log " + settings.logFile;
  if (!metricsUrl.empty()) {
    line += "; metrics " + metricsUrl;
  }
  return line + "; Ctrl-C stops it";
}

}  // namespace quillpost::program
