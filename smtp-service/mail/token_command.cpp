#include "mail/token_command.h"

#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

#include "mail/outgoing_mail.h"

extern char** environ;

#include "posix/unique_fd.h"

namespace quillpost::smtp {
namespace {

constexpr std::size_t kLongestToken = 64 * 1024;

[[noreturn]] void Fail(const std::string& why) {
  throw SendFailure(failure::kAuthenticationUnavailable, "the OAuth2 token command " + why);
}

struct FileActions {
  posix_spawn_file_actions_t actions{};
  FileActions() { posix_spawn_file_actions_init(&actions); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
};

// Reads the child's output until it closes it or the deadline passes.
bool ReadUntil(int fd, std::chrono::steady_clock::time_point deadline, std::string& output) {
  std::array<char, 4096> buffer{};
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return false;
    }
    pollfd wait{fd, POLLIN, 0};
    const int ready = ::poll(&wait, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      return false;
    }
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return true;
    }
    output.append(buffer.data(), static_cast<std::size_t>(got));
    if (output.size() > kLongestToken) {
      return false;
    }
  }
}

}  // namespace

std::vector<std::string> SplitCommand(const std::string& text) {
  gchar** parsed = nullptr;
  if (!g_shell_parse_argv(text.c_str(), nullptr, &parsed, nullptr)) {
    return {};
  }
  const std::unique_ptr<gchar*, decltype(&g_strfreev)> owned(parsed, &g_strfreev);
  std::vector<std::string> argv;
  for (gchar** arg = parsed; *arg != nullptr; ++arg) {
    argv.emplace_back(*arg);
  }
  return argv;
}

std::string RunTokenCommand(const std::vector<std::string>& argv, std::chrono::seconds timeout) {
  if (argv.empty()) {
    Fail("is not set");
  }
  std::array<int, 2> ends{};
  if (::pipe2(ends.data(), O_CLOEXEC) != 0) {
    Fail(std::string("cannot be started: ") + std::strerror(errno));
  }
  posix::UniqueFd readEnd(ends[0]);
  posix::UniqueFd writeEnd(ends[1]);
  FileActions files;
  posix_spawn_file_actions_addopen(&files.actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&files.actions, writeEnd.Get(), 1);
  posix_spawn_file_actions_addopen(&files.actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));  // posix_spawn does not change them
  }
  args.push_back(nullptr);
  pid_t child = -1;
  const int error = ::posix_spawnp(&child, args[0], &files.actions, nullptr, args.data(), environ);
  if (error != 0) {
    Fail("cannot be started: " + std::string(std::strerror(error)));
  }
  writeEnd.Reset();
  std::string output;
  const bool ended = ReadUntil(readEnd.Get(), std::chrono::steady_clock::now() + timeout, output);
  if (!ended) {
    ::kill(child, SIGKILL);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!ended) {
    Fail("took longer than " + std::to_string(timeout.count()) + " s or printed too much");
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    Fail("failed (exit status " +
         std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)) + ")");
  }
  while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) {
    output.pop_back();
  }
  if (output.empty() || output.find_first_of(std::string("\r\n\x01\0", 4)) != std::string::npos) {
    Fail("printed no token on one line");
  }
  return output;
}

}  // namespace quillpost::smtp
