#pragma once

// Runs the real quillpost-smtp for end-to-end tests: a private store, log file
// and config folder per test, headless, with no display, stopped (or killed)
// when the object goes.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "smtp_peer.h"

namespace quillpost::relay::testing {

using namespace std::chrono_literals;

// Sanitizer builds run several times slower; every wait scales with this.
std::chrono::milliseconds Patience(std::chrono::milliseconds base);

// Polls condition until it holds or the (scaled) time is up.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s);

// A scratch folder removed with the object.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Sets QUILLPOST_STORE for this process (the library and queue calls of the
// test) for the lifetime of the object.
class StoreEnvironment {
 public:
  explicit StoreEnvironment(const std::filesystem::path& store);
  ~StoreEnvironment();
  StoreEnvironment(const StoreEnvironment&) = delete;
  StoreEnvironment& operator=(const StoreEnvironment&) = delete;
};

using peer::FreePort;

// Subject of every mail the peer accepted -> how many times.
std::map<std::string, int> Subjects(const peer::SmtpPeer& smtp);
// Mails accepted more than once, counting every copy after the first.
int Duplicates(const std::map<std::string, int>& subjects);

// A program running in the background, killed when the object goes.
class ChildProcess {
 public:
  // Standard output and error go to out and err (appended).
  ChildProcess(const std::vector<std::string>& arguments,
               const std::vector<std::pair<std::string, std::string>>& environment,
               const std::filesystem::path& out, const std::filesystem::path& err);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }
  // Sends signal and waits for the exit; returns wait()'s status.
  int Stop(int signal);
  bool Running();

 private:
  pid_t pid_ = -1;
};

class RelayProcess {
 public:
  // Starts quillpost-smtp --headless with arguments; its store is store, its
  // log file logFile, its standard output and error go to files in folder;
  // extraEnvironment is added to its environment.
  RelayProcess(const std::filesystem::path& folder, const std::filesystem::path& store,
               const std::filesystem::path& logFile, std::vector<std::string> arguments,
               const std::string& name = "relay",
               const std::vector<std::pair<std::string, std::string>>& extraEnvironment = {});
  ~RelayProcess();
  RelayProcess(const RelayProcess&) = delete;
  RelayProcess& operator=(const RelayProcess&) = delete;

  pid_t Pid() const { return process_->Pid(); }
  // Sends signal and waits for the exit; returns wait()'s status.
  int Stop(int signal = 15) { return process_->Stop(signal); }
  bool Running() { return process_->Running(); }

  std::vector<std::string> StatusLines() const;
  std::string ErrorOutput() const;

 private:
  std::filesystem::path out_;
  std::filesystem::path err_;
  std::unique_ptr<ChildProcess> process_;
};

// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);

// Runs a program to its end; returns its exit code, with its standard output
// and then its standard error in output.
int RunProgram(const std::vector<std::string>& arguments, std::string* output = nullptr,
               const std::vector<std::pair<std::string, std::string>>& environment = {});

// Entries of an activity log file as (message, data), in order.
std::vector<std::pair<std::string, std::string>> ReadLog(const std::filesystem::path& logFile);
bool LogHas(const std::filesystem::path& logFile, const std::string& message,
            const std::string& data);
// A listed send failure, with the request's id, the relay and the reply as data.
bool LogHasFailure(const std::filesystem::path& logFile, const std::string& message);

}  // namespace quillpost::relay::testing
