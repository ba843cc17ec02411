// quillpost-smtpd: takes mail by SMTP from programs on this machine (or from
// the networks it is told to trust) and puts each message on the relay's
// inbound queue, answering 250 only once the message is on the disk.

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <iostream>
#include <memory>
#include <optional>

#include "listener.h"
#include "metrics/metrics_server.h"
#include "password_file.h"
#include "queue_sink.h"
#include "quillpost_version.h"
#include "service_observer.h"
#include "smtpd_command_line.h"
#include "tls_server.h"

namespace {

using namespace quillpost::smtpd;

constexpr auto kDrainTime = std::chrono::seconds(30);

std::string HostName() {
  std::array<char, 256> host{};
  return ::gethostname(host.data(), host.size() - 1) == 0 && host[0] != '\0' ? host.data()
                                                                             : "localhost";
}

std::vector<ListenSocket> ListeningSockets(const SmtpdSettings& settings) {
  if (!settings.listen.empty()) {
    return OpenListenSockets(settings.listen);
  }
  std::vector<ListenSocket> sockets = SocketsFromSystemd();
  if (!sockets.empty()) {
    return sockets;
  }
  // Both loopback addresses where there are both; a machine without IPv6
  // makes do with 127.0.0.1.
  std::string error;
  for (const char* text : {"127.0.0.1:25", "[::1]:25"}) {
    std::string why;
    try {
      std::vector<ListenSocket> one =
          OpenListenSockets({*quillpost::relay::ParseListenAddress(text, why)});
      sockets.push_back(std::move(one.front()));
    } catch (const std::runtime_error& failure) {
      error += (error.empty() ? "" : "; ") + std::string(failure.what());
    }
  }
  if (sockets.empty()) {
    throw std::runtime_error(error);
  }
  return sockets;
}

// An address other machines can reach needs a say in who may submit: an
// allow-list, or STARTTLS with AUTH.
void CheckExposure(const std::vector<ListenSocket>& sockets, const SmtpdSettings& settings,
                   bool authenticates) {
  for (const ListenSocket& socket : sockets) {
    if (!IsLoopback(socket.address) && !settings.allowNetworksGiven && !authenticates) {
      throw UsageError("listening on " + socket.name +
                       ", which is not a loopback address, needs allow_networks or "
                       "tls_certificate, tls_key and password_file");
    }
  }
}

// SIGTERM and SIGINT, as a descriptor the accept loop watches. Blocked before
// any session thread starts, so that every thread inherits the mask.
quillpost::posix::UniqueFd StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return quillpost::posix::UniqueFd(::signalfd(-1, &signals, SFD_CLOEXEC));
}

int Serve(const SmtpdSettings& settings) {
  ::signal(SIGPIPE, SIG_IGN);
  // A full file is a failed write for the store to report, not the end.
  ::signal(SIGXFSZ, SIG_IGN);

  std::optional<TlsServer> tls;
  if (!settings.tlsCertificate.empty() || !settings.tlsKey.empty()) {
    if (settings.tlsCertificate.empty() || settings.tlsKey.empty()) {
      throw UsageError("STARTTLS needs both tls_certificate and tls_key");
    }
    tls.emplace(settings.tlsCertificate, settings.tlsKey);
  }
  std::optional<PasswordFile> passwords;
  if (!settings.passwordFile.empty()) {
    if (!tls) {
      throw UsageError(
          "password_file needs tls_certificate and tls_key: AUTH is offered only "
          "over TLS");
    }
    passwords.emplace(settings.passwordFile, settings.restrictSenders);
  }
  std::vector<ListenSocket> sockets = ListeningSockets(settings);
  CheckExposure(sockets, settings, passwords.has_value());

  ListenerSetup setup;
  setup.limits.serverName = settings.serverName.empty() ? HostName() : settings.serverName;
  setup.limits.maxMessageSize = settings.maxMessageSize;
  setup.limits.maxRecipients = settings.maxRecipients;
  setup.limits.commandTimeout = settings.commandTimeout;
  setup.limits.dataTimeout = settings.dataTimeout;
  setup.tls = tls ? &*tls : nullptr;
  setup.authenticator = passwords ? &*passwords : nullptr;
  setup.allowNetworks = settings.allowNetworks;
  setup.maxConnections = settings.maxConnections;
  setup.maxConnectionsPerClient = settings.maxConnectionsPerClient;

  std::string names;
  for (const ListenSocket& socket : sockets) {
    names += (names.empty() ? "" : " ") + socket.name;
  }
  QueueSink sink(settings.queue);
  ListenerMetrics metrics;
  ServiceObserver observer(metrics, settings.mailLog);
  const quillpost::posix::UniqueFd stop = StopSignals();
  Listener listener(std::move(sockets), std::move(setup), sink, observer, metrics);
  std::unique_ptr<quillpost::metrics::MetricsServer> metricsServer;
  if (settings.metricsListen) {
    metricsServer = std::make_unique<quillpost::metrics::MetricsServer>(
        *settings.metricsListen, [&] { return metrics.Render(listener.Active()); });
  }
  std::cout << "quillpost-smtpd: listening on " << names << ", queueing to " << settings.queue
            << std::endl;
  if (!listener.Run(stop.Get(), kDrainTime)) {
    std::cerr << "quillpost-smtpd: sessions still running at exit; their clients will try again\n";
    std::cout.flush();
    ::_exit(0);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const CommandLine command = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (command.help) {
      std::cout << HelpText();
      return 0;
    }
    if (command.version) {
      return quillpost::PrintVersion("quillpost-smtpd");
    }
    return Serve(command.settings);
  } catch (const UsageError& error) {
    std::cerr << "quillpost-smtpd: " << error.what() << '\n';
    return kExitBadSettings;
  } catch (const std::exception& error) {
    std::cerr << "quillpost-smtpd: " << error.what() << '\n';
    return kExitStartupFailed;
  }
}
