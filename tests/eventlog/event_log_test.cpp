#include "eventlog/event_log.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "eventlog/syslog_socket.h"
#include "posix/unique_fd.h"

// The application's syslog settings belong to the application: the event log
// must never call these. Defined here, they take the C library's place in
// this program and count the calls.
namespace {
int syslogSettingChanges = 0;
}  // namespace
extern "C" void openlog(const char* /*ident*/, int /*option*/, int /*facility*/) noexcept {
  ++syslogSettingChanges;
}
extern "C" void closelog() noexcept {
  ++syslogSettingChanges;
}

namespace quillpost::eventlog {
namespace {

TEST(EventLog, ScopedSinkSeesEntriesAndRestoresThePreviousSink) {
  std::vector<std::string> outer;
  ScopedSink outerSink([&](std::string_view text) { outer.emplace_back(text); });
  {
    std::vector<std::string> inner;
    ScopedSink innerSink([&](std::string_view text) { inner.emplace_back(text); });
    ReportError("first");
    EXPECT_EQ(inner, std::vector<std::string>{"first"});
  }
  ReportError("second");
  EXPECT_EQ(outer, std::vector<std::string>{"second"});
}

TEST(EventLog, AThrowingSinkNeverReachesTheCaller) {
  ScopedSink sink([](std::string_view) { throw std::runtime_error("sink broke"); });
  EXPECT_NO_THROW(ReportError("anything"));
}

TEST(EventLog, AnEntryLeavesTheApplicationsSyslogIdentityAsItWas) {
  ReportError("to the system logger");
  EXPECT_EQ(syslogSettingChanges, 0);
}

TEST(EventLog, EntriesReachTheLoggerUnderOurNameAndPriority) {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("event_log_test." + std::to_string(::getpid()));
  std::filesystem::remove(path);
  const posix::UniqueFd logger(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(logger.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

  ASSERT_TRUE(SendSyslogEntry(path, "Unable to write to log file."));
  std::array<char, 512> entry{};
  const ssize_t got = ::recv(logger.Get(), entry.data(), entry.size(), MSG_DONTWAIT);
  std::filesystem::remove(path);
  ASSERT_GT(got, 0);
  const std::string text(entry.data(), static_cast<std::size_t>(got));
  EXPECT_TRUE(text.starts_with("<11>")) << text;  // LOG_USER | LOG_ERR
  EXPECT_TRUE(text.ends_with(" quillpost[" + std::to_string(::getpid()) +
                             "]: Unable to write to log file."))
      << text;
  EXPECT_FALSE(SendSyslogEntry(path, "nobody listens"));
}

}  // namespace
}  // namespace quillpost::eventlog
