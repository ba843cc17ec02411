#include "activitylog/activity_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "eventlog/event_log.h"

namespace quillpost::activitylog {
namespace {

namespace fs = std::filesystem;

// A fresh folder per test, removed afterwards.
class ActivityLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quillpost-activitylog-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { fs::remove_all(folder_); }

  static std::string Contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }

  // Lines split at CR LF; a file that does not end in CR LF gives a last
  // line holding the rest.
  static std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
      lines.push_back(text.substr(start, end - start));
    }
    if (start != text.size()) {
      lines.push_back(text.substr(start));
    }
    return lines;
  }

  fs::path folder_;
  std::vector<std::string> reported_;
  eventlog::ScopedSink sink_{[this](std::string_view text) { reported_.emplace_back(text); }};
};

// The "C" locale's "%x %X": MM/DD/YY HH:MM:SS.
constexpr const char* kTimePattern = R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d)";

TEST_F(ActivityLogTest, AppendsOneLinePerEntryToWhatIsThere) {
  const fs::path path = folder_ / "relay.log";
  std::ofstream(path, std::ios::binary) << "earlier line\r\n";

  const ActivityLog log(path.string());
  log.WriteLog("Server Initialised & Listening", "");
  log.WriteLog("Re-queued", "label\r\nforged - entry\\");

  const auto lines = Lines(Contents(path));
  ASSERT_EQ(lines.size(), 3U) << Contents(path);
  EXPECT_EQ(lines[0], "earlier line");
  EXPECT_TRUE(std::regex_match(
      lines[1], std::regex(std::string(kTimePattern) + " - Server Initialised & Listening - ")))
      << lines[1];
  EXPECT_TRUE(std::regex_match(
      lines[2],
      std::regex(std::string(kTimePattern) + R"( - Re-queued - label\\r\\nforged - entry\\\\)")))
      << lines[2];
  EXPECT_TRUE(reported_.empty());
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::others_write, fs::perms::none);
}

TEST_F(ActivityLogTest, DeletedFileIsStartedAfreshByTheNextEntry) {
  const fs::path path = folder_ / "relay.log";
  const ActivityLog log(path.string());
  log.WriteLog("first", "1");
  fs::remove(path);
  log.WriteLog("second", "2");
  const auto lines = Lines(Contents(path));
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(std::string(kTimePattern) + " - second - 2")))
      << lines[0];
  EXPECT_TRUE(reported_.empty());
}

TEST_F(ActivityLogTest, UnwritableFileIsReportedAndTheNextEntryTriesAgain) {
  // A folder that is really a regular file: no permission trick, so root fails too.
  const fs::path blocker = folder_ / "not-a-folder";
  std::ofstream(blocker) << "x";
  const fs::path path = blocker / "relay.log";
  const ActivityLog log(path.string());

  log.WriteLog("lost", "");
  log.WriteLog("lost too", "");
  EXPECT_EQ(reported_, (std::vector<std::string>{kUnableToWrite, kUnableToWrite}));
  EXPECT_EQ(std::string(kUnableToWrite), "KVR Mailer: Unable to write to log file.");

  // Parent folders are never created by the log.
  const ActivityLog nested((folder_ / "missing" / "relay.log").string());
  nested.WriteLog("lost", "");
  EXPECT_FALSE(fs::exists(folder_ / "missing"));
  EXPECT_EQ(reported_.size(), 3U);

  // Once the path can be written again, entries go through.
  fs::remove(blocker);
  fs::create_directory(blocker);
  log.WriteLog("back", "");
  EXPECT_EQ(Lines(Contents(path)).size(), 1U);
  EXPECT_EQ(reported_.size(), 3U);
}

// A FIFO at the log's path once held the relay in open() for good; a device
// such as /dev/full is no log file either. Each is an unwritable log.
TEST_F(ActivityLogTest, AnythingButARegularFileIsReportedWithoutWaiting) {
  const fs::path fifo = folder_ / "relay.log";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const ActivityLog log(fifo.string());
  log.WriteLog("nobody reads", "");
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  log.WriteLog("someone reads", "");
  char byte = 0;
  EXPECT_EQ(::read(reader, &byte, 1), 0);  // nothing was written into it
  ::close(reader);
  ActivityLog("/dev/full").WriteLog("no room", "");
  EXPECT_EQ(reported_, (std::vector<std::string>{kUnableToWrite, kUnableToWrite, kUnableToWrite}));
}

TEST_F(ActivityLogTest, ConcurrentProcessesNeverTearALine) {
  const fs::path path = folder_ / "shared.log";
  constexpr int kEntries = 2000;
  const std::string padding(300, 'p');

  std::vector<pid_t> children;
  for (const char* who : {"alpha", "beta"}) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      const ActivityLog log(path.string());
      for (int i = 0; i < kEntries; ++i) {
        log.WriteLog(who, std::to_string(i) + padding);
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  for (const pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  const std::regex entry(std::string(kTimePattern) + " - (alpha|beta) - (\\d+)" + padding);
  int next_alpha = 0;
  int next_beta = 0;
  const auto lines = Lines(Contents(path));
  ASSERT_EQ(lines.size(), 2U * kEntries);
  for (const std::string& line : lines) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, entry)) << "torn line: " << line;
    int& next = match[1] == "alpha" ? next_alpha : next_beta;
    EXPECT_EQ(std::stoi(match[2]), next++);  // each writer's entries in its own order
  }
  EXPECT_EQ(next_alpha, kEntries);
  EXPECT_EQ(next_beta, kEntries);
}

}  // namespace
}  // namespace quillpost::activitylog
