#pragma once

// A helper process (queue_test_peer) that works on queues from outside the
// test process.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

namespace quillpost::queue::testing {

// A running helper process (queue_test_peer) whose standard output is read
// line by line.
class Peer {
 public:
  explicit Peer(const std::vector<std::string>& arguments) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::vector<std::string> all{QUILLPOST_QUEUE_PEER};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : all) {
      argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const int rc =
        posix_spawn(&pid_, QUILLPOST_QUEUE_PEER, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    output_ = fds[0];
    if (rc != 0) {
      ::close(output_);
      throw std::runtime_error("cannot start the queue test peer");
    }
  }
  ~Peer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
    ::close(output_);
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  // The next line of output without its newline; empty at end of output or
  // after timeout.
  std::string ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const std::size_t newline = pending_.find('\n');
      if (newline != std::string::npos) {
        std::string line = pending_.substr(0, newline);
        pending_.erase(0, newline + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd readable{output_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&readable, 1, static_cast<int>(left.count())) <= 0) {
        return {};
      }
      char buffer[4096];
      const ssize_t got = ::read(output_, buffer, sizeof buffer);
      if (got <= 0) {
        return {};
      }
      pending_.append(buffer, static_cast<std::size_t>(got));
    }
  }

  // Every remaining line until the peer closes its output.
  std::vector<std::string> ReadAll(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::vector<std::string> lines;
    for (std::string line = ReadLine(timeout); !line.empty(); line = ReadLine(timeout)) {
      lines.push_back(line);
    }
    return lines;
  }

  void Kill() {
    ::kill(pid_, SIGKILL);
    Wait();
  }

  // The exit status, or -1 when it did not exit normally.
  int Wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  std::string pending_;
};

}  // namespace quillpost::queue::testing
