#include "relay_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace quillpost::relay::testing {
namespace fs = std::filesystem;

namespace {

bool Sanitized() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#else
  return false;
#endif
}

std::vector<std::string> ReadLines(const fs::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    lines.push_back(line);
  }
  return lines;
}

// The environment of this process with some names replaced or removed (an
// empty value removes the name).
std::vector<std::string> ChildEnvironment(
    const std::vector<std::pair<std::string, std::string>>& changes) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    const std::string name = text.substr(0, text.find('='));
    const bool changed = std::any_of(changes.begin(), changes.end(),
                                     [&name](const auto& change) { return change.first == name; });
    if (!changed) {
      result.push_back(text);
    }
  }
  for (const auto& [name, value] : changes) {
    if (!value.empty()) {
      result.push_back(name);
      result.back() += '=';
      result.back() += value;
    }
  }
  return result;
}

pid_t Spawn(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
            const fs::path& out, const fs::path& err) {
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  std::vector<char*> envp;
  envp.reserve(environment.size() + 1);
  for (const std::string& entry : environment) {
    envp.push_back(const_cast<char*>(entry.c_str()));
  }
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  pid_t pid = -1;
  const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    throw std::runtime_error("cannot start " + arguments[0]);
  }
  return pid;
}

}  // namespace

std::chrono::milliseconds Patience(std::chrono::milliseconds base) {
  return Sanitized() ? base * 4 : base;
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + Patience(timeout);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

ScratchFolder::ScratchFolder() {
  std::string pattern = (fs::temp_directory_path() / "quillpost-relay-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create a scratch folder");
  }
  path_ = pattern;
}

std::map<std::string, int> Subjects(const peer::SmtpPeer& smtp) {
  std::map<std::string, int> subjects;
  for (const auto& message : smtp.Messages()) {
    const auto values = message.Header("Subject");
    ++subjects[values.empty() ? std::string() : values[0]];
  }
  return subjects;
}

int Duplicates(const std::map<std::string, int>& subjects) {
  int duplicates = 0;
  for (const auto& [subject, count] : subjects) {
    duplicates += count - 1;
  }
  return duplicates;
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

StoreEnvironment::StoreEnvironment(const fs::path& store) {
  ::setenv("QUILLPOST_STORE", store.c_str(), 1);
}

StoreEnvironment::~StoreEnvironment() {
  ::unsetenv("QUILLPOST_STORE");
}

ChildProcess::ChildProcess(const std::vector<std::string>& arguments,
                           const std::vector<std::pair<std::string, std::string>>& environment,
                           const fs::path& out, const fs::path& err)
    : pid_(Spawn(arguments, ChildEnvironment(environment), out, err)) {}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

int ChildProcess::Stop(int signal) {
  if (pid_ <= 0) {
    return -1;
  }
  ::kill(pid_, signal);
  int status = 0;
  const bool ended = WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 10s);
  if (!ended) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  return status;
}

bool ChildProcess::Running() {
  return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0;
}

RelayProcess::RelayProcess(const fs::path& folder, const fs::path& store, const fs::path& logFile,
                           std::vector<std::string> arguments, const std::string& name,
                           const std::vector<std::pair<std::string, std::string>>& extraEnvironment)
    : out_(folder / (name + ".out")), err_(folder / (name + ".err")) {
  arguments.insert(arguments.begin(),
                   {QUILLPOST_SMTP_PROGRAM, "--headless", "--log-file", logFile.string()});
  const fs::path config = folder / (name + "-config");
  fs::create_directories(config);
  std::vector<std::pair<std::string, std::string>> environment = {
      {"QUILLPOST_STORE", store.string()},
      {"XDG_CONFIG_HOME", config.string()},
      {"DISPLAY", ""},
      {"WAYLAND_DISPLAY", ""}};
  environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
  process_ = std::make_unique<ChildProcess>(arguments, environment, out_, err_);
}

RelayProcess::~RelayProcess() = default;

std::vector<std::string> RelayProcess::StatusLines() const {
  return ReadLines(out_);
}

std::string RelayProcess::ErrorOutput() const {
  return ReadFile(err_);
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int RunProgram(const std::vector<std::string>& arguments, std::string* output,
               const std::vector<std::pair<std::string, std::string>>& environment) {
  const ScratchFolder folder;
  const fs::path out = folder.Path() / "out";
  const pid_t pid = Spawn(arguments, ChildEnvironment(environment), out, folder.Path() / "err");
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (output != nullptr) {
    *output = ReadFile(out) + ReadFile(folder.Path() / "err");
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::pair<std::string, std::string>> ReadLog(const fs::path& logFile) {
  std::vector<std::pair<std::string, std::string>> entries;
  for (const std::string& line : ReadLines(logFile)) {
    // "<date> <time> - <message> - <data>"
    const auto first = line.find(" - ");
    if (first == std::string::npos) {
      continue;
    }
    const std::string rest = line.substr(first + 3);
    const auto second = rest.find(" - ");
    if (second == std::string::npos) {
      continue;
    }
    entries.emplace_back(rest.substr(0, second), rest.substr(second + 3));
  }
  return entries;
}

bool LogHas(const fs::path& logFile, const std::string& message, const std::string& data) {
  const auto entries = ReadLog(logFile);
  return std::find(entries.begin(), entries.end(), std::make_pair(message, data)) != entries.end();
}

bool LogHasFailure(const fs::path& logFile, const std::string& message) {
  const auto entries = ReadLog(logFile);
  return std::any_of(entries.begin(), entries.end(), [&](const auto& entry) {
    return entry.first == message && entry.second.starts_with("Id=") &&
           entry.second.find(", Relay=") != std::string::npos &&
           entry.second.find(", Reply=") != std::string::npos;
  });
}

}  // namespace quillpost::relay::testing
