#include "mail/token_command.h"

#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

struct SpawnAttributes {
  posix_spawnattr_t attributes{};
  SpawnAttributes() { posix_spawnattr_init(&attributes); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
};

// The command and whatever it starts form a process group of their own. The
// group is killed once the command has ended, or when it is given up on, so
// no helper it left behind outlives it; the command itself is reaped only
// after that, so its number cannot name another group in the meantime.
class CommandGroup {
 public:
  explicit CommandGroup(pid_t leader) : leader_(leader) {}
  ~CommandGroup() { Reap(); }
  CommandGroup(const CommandGroup&) = delete;
  CommandGroup& operator=(const CommandGroup&) = delete;

  // True once the command itself has ended; it stays unreaped.
  bool Ended() const {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(leader_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == leader_;
  }

  // Kills the group and returns the command's wait status.
  int Reap() {
    if (leader_ > 0) {
      ::kill(-leader_, SIGKILL);
      while (::waitpid(leader_, &status_, 0) < 0 && errno == EINTR) {
      }
      leader_ = -1;
    }
    return status_;
  }

 private:
  pid_t leader_;
  int status_ = 0;
};

enum class Reading { Ended, TimedOut, TooLong };

// Reads the command's output until the command ends or the deadline passes.
// A helper it started may hold the output open for much longer: what the
// command wrote before it ended is all that is read.
Reading ReadUntilEnded(int fd, const CommandGroup& command,
                       std::chrono::steady_clock::time_point deadline, std::string& output) {
  constexpr std::chrono::milliseconds kSlice(20);
  std::array<char, 4096> buffer{};
  bool closed = false;
  for (;;) {
    const bool ended = command.Ended();
    for (;;) {  // whatever is in the pipe now
      const ssize_t got = ::read(fd, buffer.data(), buffer.size());
      if (got < 0 && errno == EINTR) {
        continue;
      }
      closed = closed || got == 0;
      if (got <= 0) {
        break;
      }
      output.append(buffer.data(), static_cast<std::size_t>(got));
      if (output.size() > kLongestToken) {
        return Reading::TooLong;
      }
    }
    if (ended) {
      return Reading::Ended;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return Reading::TimedOut;
    }
    // Once the output is closed only the command's end is awaited.
    pollfd wait{fd, POLLIN, 0};
    ::poll(&wait, closed ? 0 : 1, static_cast<int>(std::min(left, kSlice).count()));
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
  ::fcntl(readEnd.Get(), F_SETFL, O_NONBLOCK);
  FileActions files;
  posix_spawn_file_actions_addopen(&files.actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&files.actions, writeEnd.Get(), 1);
  posix_spawn_file_actions_addopen(&files.actions, 2, "/dev/null", O_WRONLY, 0);
  SpawnAttributes attributes;
  posix_spawnattr_setflags(&attributes.attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes.attributes, 0);  // a group led by the command
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));  // posix_spawn does not change them
  }
  args.push_back(nullptr);
  pid_t child = -1;
  const int error =
      ::posix_spawnp(&child, args[0], &files.actions, &attributes.attributes, args.data(), environ);
  if (error != 0) {
    Fail("cannot be started: " + std::string(std::strerror(error)));
  }
  writeEnd.Reset();
  CommandGroup command(child);
  std::string output;
  const Reading reading =
      ReadUntilEnded(readEnd.Get(), command, std::chrono::steady_clock::now() + timeout, output);
  const int status = command.Reap();
  if (reading == Reading::TimedOut) {
    Fail("took longer than " + std::to_string(timeout.count()) + " s");
  }
  if (reading == Reading::TooLong) {
    Fail("printed more than " + std::to_string(kLongestToken) + " bytes");
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
