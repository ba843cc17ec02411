#include "latency_peer.h"

#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "queue/queue.h"

namespace qq = quillpost::queue;

namespace {

class Stamp : public qq::ArrivalSink {
 public:
  void Arrived(qq::OpenQueue& queue, long) override {
    const std::int64_t now = MonotonicNs();
    if (auto message = queue.Receive(std::chrono::milliseconds(0))) {
      message->Finish();
    }
    // The time of the report first, then "ready" once the message is gone.
    std::printf("%lld\n", static_cast<long long>(now));
    std::fflush(stdout);
    queue.EnableNotification(*this);
  }
};

std::string ReadLine(FILE* in) {
  std::string line;
  for (int c = std::fgetc(in); c != EOF && c != '\n'; c = std::fgetc(in)) {
    line.push_back(static_cast<char>(c));
  }
  return line;
}

}  // namespace

int RunLatencyReceiver(const std::string& path) {
  auto queue = qq::QueuePath(path).Open(qq::Access::Receive);
  Stamp stamp;
  queue->EnableNotification(stamp);
  std::printf("armed\n");
  std::fflush(stdout);
  for (;;) {
    pollfd watch{queue->NotificationDescriptor(), POLLIN, 0};
    if (::poll(&watch, 1, 10000) != 1) {
      return 0;  // the sender is done
    }
    queue->DeliverNotification();
  }
}

WakeupFigures MeasureWakeups(const std::string& program, const std::string& path, int count) {
  int fds[2];
  if (::pipe(fds) != 0) {
    std::exit(1);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  std::string arg0 = program;
  std::string arg1 = "--latency-receiver";
  std::string arg2 = path;
  char* argv[] = {arg0.data(), arg1.data(), arg2.data(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ) != 0) {
    std::cerr << "cannot start the latency receiver\n";
    std::exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  const std::unique_ptr<FILE, int (*)(FILE*)> input(::fdopen(fds[0], "r"), &std::fclose);
  FILE* in = input.get();
  if (ReadLine(in) != "armed") {
    std::cerr << "latency receiver failed to start\n";
    std::exit(1);
  }

  auto sender = qq::QueuePath(path).Open(qq::Access::Send);
  std::vector<double> afterReturn;
  std::vector<double> afterCall;
  const std::string body(2048, 'b');
  for (int i = 0; i < count; ++i) {
    const std::int64_t called = MonotonicNs();
    sender->Send({"Quillpost-Inbound", body, 7});
    const std::int64_t returned = MonotonicNs();
    const std::int64_t arrived = std::atoll(ReadLine(in).c_str());
    // The report may even come before Send has returned: count that as 0.
    afterReturn.push_back(static_cast<double>(std::max<std::int64_t>(0, arrived - returned)) / 1e6);
    afterCall.push_back(static_cast<double>(arrived - called) / 1e6);
  }
  sender->Close();
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
  return {{Percentile(afterReturn, 0.5), Percentile(afterReturn, 0.99)},
          {Percentile(afterCall, 0.5), Percentile(afterCall, 0.99)}};
}
