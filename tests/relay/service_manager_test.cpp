// The relay as a service manager sees it: readiness, status and stopping
// notes on $NOTIFY_SOCKET, and the exit code of a start-up that failed.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>

#include "end_to_end_support.h"

namespace quillpost::relay::testing {
namespace {

// The manager's end: a datagram socket that collects every note.
class NotifySocket {
 public:
  explicit NotifySocket(const std::filesystem::path& path) : path_(path.string()) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof(address.sun_path) - 1);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  }
  ~NotifySocket() { ::close(fd_); }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  const std::string& Path() const { return path_; }

  // Every note received so far, one after the other.
  const std::string& Notes() {
    pollfd ready{fd_, POLLIN, 0};
    while (::poll(&ready, 1, 0) > 0) {
      char buffer[4096];
      const ssize_t size = ::recv(fd_, buffer, sizeof(buffer), 0);
      if (size <= 0) {
        break;
      }
      notes_.append(buffer, static_cast<std::size_t>(size)).push_back('\n');
    }
    return notes_;
  }
  bool Has(const std::string& text) { return Notes().find(text) != std::string::npos; }

 private:
  std::string path_;
  int fd_ = -1;
  std::string notes_;
};

TEST_F(EndToEndTest, ServiceManagerHearsReadinessCountsAndStopping) {
  peer::SmtpPeer smtp;
  NotifySocket manager(scratch.Path() / "notify");
  RelayProcess relay(scratch.Path(), store, logFile,
                     {"--smtp-server", "127.0.0.1", "--smtp-port", std::to_string(smtp.Port()),
                      "--smtp-security", "none"},
                     "relay", {{"NOTIFY_SOCKET", manager.Path()}});
  ASSERT_TRUE(WaitFor([&] { return manager.Has("READY=1"); })) << relay.ErrorOutput();
  ASSERT_EQ(Submit("Counted"), "OK");
  EXPECT_TRUE(WaitFor([&] {
    return manager.Has("STATUS=Listening; 1 sent, 0 re-queued for retry, 0 dead-lettered");
  })) << manager.Notes();
  relay.Stop(SIGTERM);
  EXPECT_TRUE(manager.Has("STOPPING=1")) << manager.Notes();
}

TEST_F(EndToEndTest, FailedStartUpEndsTheProgramOnlyWhenAskedTo) {
  // A store below a regular file cannot be created, whoever runs the test.
  std::ofstream(scratch.Path() / "plain-file") << "x";
  const std::vector<std::pair<std::string, std::string>> environment = {
      {"QUILLPOST_STORE", (scratch.Path() / "plain-file" / "store").string()},
      {"XDG_CONFIG_HOME", scratch.Path().string()},
      {"DISPLAY", ""}};
  std::string output;
  EXPECT_EQ(RunProgram({QUILLPOST_SMTP_PROGRAM, "--headless", "--exit-on-startup-failure",
                        "--log-file", logFile.string()},
                       &output, environment),
            3);
  EXPECT_NE(output.find("start-up stopped at step 4"), std::string::npos) << output;
  // Turned on in the config file, turned off again by the option.
  std::ofstream(scratch.Path() / "smtp.conf") << "exit_on_startup_failure = yes\n";
  RelayProcess relay(scratch.Path(), scratch.Path() / "plain-file" / "store", logFile,
                     {"--config", (scratch.Path() / "smtp.conf").string(),
                      "--exit-on-startup-failure=no", "--smtp-port", std::to_string(FreePort())});
  ASSERT_TRUE(WaitFor([&] {
    return relay.ErrorOutput().find("start-up stopped at step 4") != std::string::npos;
  })) << relay.ErrorOutput();
  EXPECT_TRUE(relay.Running());
}

}  // namespace
}  // namespace quillpost::relay::testing
