// Compares a broker's queues with the embedded store in one run:
//   - queue sends per second (one open queue, many sends);
//   - library sends per second (Submission::Send, a queue opened per request),
//     from one thread and from eight at once;
//   - end-to-end mails per second: N requests waiting, one relay or two
//     quillpost-smtp started on them, until an SMTP sink accepted all.
//
//   broker_bench [--broker amqp://user:pw@host:port/vhost] [--type classic|quorum]
//                [--name NAME] [--broker-only] [--mails N]
// The broker defaults to $QUILLPOST_TEST_AMQP; bench/broker/run_broker_bench.sh
// starts a private one, and a three-node cluster for quorum queues.

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "queue/admin/queue_admin.h"
#include "queue/queue.h"
#include "quillpost/submission.h"

namespace fs = std::filesystem;
namespace qq = quillpost::queue;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

extern char** environ;

namespace {

double Seconds(Clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

[[noreturn]] void Fail(const std::string& text) {
  std::fprintf(stderr, "broker_bench: %s\n", text.c_str());
  std::exit(1);
}

// Accepts every mail on a loopback port and counts them.
class SmtpSink {
 public:
  SmtpSink() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      Fail("cannot set up the SMTP sink");
    }
    port_ = ntohs(address.sin_port);
    std::thread([this] { Accept(); }).detach();
  }
  int Port() const { return port_; }
  int Accepted() const { return accepted_; }

 private:
  void Accept() {
    for (;;) {
      const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) {
        std::thread([this, client] { Serve(client); }).detach();
      }
    }
  }
  static void Say(int fd, const char* text) {
    [[maybe_unused]] const ssize_t sent = ::send(fd, text, std::strlen(text), MSG_NOSIGNAL);
  }
  void Serve(int fd) {
    Say(fd, "220 sink ESMTP\r\n");
    std::string pending;
    bool inData = false;
    char buffer[65536];
    for (;;) {
      const ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got <= 0) {
        break;
      }
      pending.append(buffer, static_cast<std::size_t>(got));
      std::size_t end = 0;
      while ((end = pending.find("\r\n")) != std::string::npos) {
        const std::string line = pending.substr(0, end);
        pending.erase(0, end + 2);
        if (inData) {
          if (line == ".") {
            inData = false;
            ++accepted_;
            Say(fd, "250 queued\r\n");
          }
          continue;
        }
        const std::string verb = line.substr(0, 4);
        if (verb == "EHLO" || verb == "ehlo") {
          Say(fd, "250-sink\r\n250 8BITMIME\r\n");
        } else if (verb == "DATA" || verb == "data") {
          inData = true;
          Say(fd, "354 go on\r\n");
        } else if (verb == "QUIT" || verb == "quit") {
          Say(fd, "221 bye\r\n");
          ::close(fd);
          return;
        } else {
          Say(fd, "250 ok\r\n");
        }
      }
    }
    ::close(fd);
  }

  int listener_ = -1;
  int port_ = 0;
  std::atomic<int> accepted_{0};
};

struct Queues {
  std::string inbound, retryA, retryB, dead;
  std::vector<std::string> All() const { return {inbound, retryA, retryB, dead}; }
};

qq::QueueType queueType = qq::QueueType::Classic;

Queues MakeQueues(const std::string& base, const std::string& tag) {
  const std::string prefix = base + "/bench" + std::to_string(::getpid()) + "-" + tag + "-";
  Queues queues{prefix + "kvr_mailer", prefix + "kvr_mailer_rA", prefix + "kvr_mailer_rB",
                prefix + "kvr_mailer_dead"};
  const bool broker = base.starts_with("amqp");
  for (const std::string& queue : queues.All()) {
    qq::CreateQueue(queue, qq::StoreAccess::Owner, broker ? queueType : qq::QueueType::Classic);
  }
  return queues;
}

void DropQueues(const Queues& queues) {
  for (const std::string& queue : queues.All()) {
    try {
      qq::DeleteQueue(queue);
    } catch (const qq::QueueError&) {
    }
  }
}

double QueueSendRate(const std::string& queue, int count) {
  const std::string body(2048, 'b');
  auto open = qq::QueuePath(queue).Open(qq::Access::Send);
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    open->Send({"Quillpost-Inbound", body, 7});
  }
  return count / Seconds(Clock::now() - start);
}

// count sends shared out among threads, each waiting for its own answer.
double LibrarySendRate(const std::string& queue, int count, int threads = 1) {
  const auto send = [&queue](int from, int to) {
    for (int i = from; i < to; ++i) {
      quillpost::Submission submission;
      submission.Initialise();
      submission.SetFrom("ann@example.org", "Ann Lee");
      submission.AddRecipient("bob@example.org");
      submission.SetSubject("Mail " + std::to_string(i));
      submission.SetBody(std::string(1500, 'x'));
      if (std::string(submission.Send(queue)) != "OK") {
        Fail("Send to the benchmark queue failed: " + submission.LastSendFailure());
      }
    }
  };
  const auto start = Clock::now();
  std::vector<std::thread> senders;
  for (int thread = 0; thread < threads; ++thread) {
    senders.emplace_back(send, count * thread / threads, count * (thread + 1) / threads);
  }
  for (std::thread& sender : senders) {
    sender.join();
  }
  return count / Seconds(Clock::now() - start);
}

pid_t StartRelay(const Queues& queues, int smtpPort, const fs::path& folder, int index) {
  std::vector<std::string> arguments{
      QUILLPOST_SMTP_PROGRAM, "--headless",
      "--log-file",           (folder / ("relay" + std::to_string(index) + ".log")).string(),
      "--inbound-queue",      queues.inbound,
      "--retry-queue-a",      queues.retryA,
      "--retry-queue-b",      queues.retryB,
      "--dead-letter-queue",  queues.dead,
      "--smtp-server",        "127.0.0.1",
      "--smtp-port",          std::to_string(smtpPort),
      "--smtp-security",      "none"};
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (std::string& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  const fs::path config = folder / ("config" + std::to_string(index));
  fs::create_directories(config);
  ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  ::setenv("DISPLAY", "", 1);
  ::setenv("WAYLAND_DISPLAY", "", 1);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, QUILLPOST_SMTP_PROGRAM, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    Fail("cannot start quillpost-smtp");
  }
  return pid;
}

// N requests wait on the inbound queue; relays start on them; returns mails
// per second until the sink accepted all.
double DrainRate(const std::string& base, const std::string& tag, int relays, int mails,
                 const fs::path& folder) {
  const Queues queues = MakeQueues(base, tag);
  LibrarySendRate(queues.inbound, mails);
  SmtpSink sink;
  std::vector<pid_t> pids;
  pids.reserve(static_cast<std::size_t>(relays));
  const auto start = Clock::now();
  for (int i = 0; i < relays; ++i) {
    pids.push_back(StartRelay(queues, sink.Port(), folder, i));
  }
  const auto deadline = start + 300s;
  while (sink.Accepted() < mails && Clock::now() < deadline) {
    std::this_thread::sleep_for(2ms);
  }
  const double rate = sink.Accepted() / Seconds(Clock::now() - start);
  for (const pid_t pid : pids) {
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
  }
  if (sink.Accepted() < mails) {
    std::fprintf(stderr, "broker_bench: only %d of %d mails arrived\n", sink.Accepted(), mails);
  }
  DropQueues(queues);
  return rate;
}

void Measure(const std::string& name, const std::string& base, int mails, const fs::path& folder) {
  // The name as part of queue names.
  std::string tag = name;
  for (char& c : tag) {
    c = std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '-';
  }
  const Queues queues = MakeQueues(base, tag + "-send");
  const double queueSends = QueueSendRate(queues.inbound, mails);
  const double librarySends = LibrarySendRate(queues.inbound, mails);
  const double eightThreads = LibrarySendRate(queues.inbound, mails, 8);
  DropQueues(queues);
  const double one = DrainRate(base, tag + "-one", 1, mails, folder);
  const double two = DrainRate(base, tag + "-two", 2, mails, folder);
  std::printf("%-20s %12.0f %10.0f %10.0f %10.0f %10.0f\n", name.c_str(), queueSends, librarySends,
              eightThreads, one, two);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const char* testBroker = std::getenv("QUILLPOST_TEST_AMQP");
  std::string broker = testBroker != nullptr ? testBroker : "";
  int mails = 500;
  std::string name = "broker";
  bool brokerOnly = false;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--broker" && i + 1 < argc) {
      broker = argv[++i];
    } else if (argument == "--type" && i + 1 < argc) {
      const std::string type = argv[++i];
      if (type != "classic" && type != "quorum") {
        Fail("--type is classic or quorum");
      }
      queueType = type == "quorum" ? qq::QueueType::Quorum : qq::QueueType::Classic;
    } else if (argument == "--name" && i + 1 < argc) {
      name = argv[++i];
    } else if (argument == "--broker-only") {
      brokerOnly = true;
    } else if (argument == "--mails" && i + 1 < argc) {
      mails = std::atoi(argv[++i]);
    } else if (argument == "-h" || argument == "--help") {
      std::printf(
          "usage: broker_bench [--broker amqp://user:pw@host:port/vhost] [--type classic|quorum]\n"
          "                    [--name NAME] [--broker-only] [--mails N]\n");
      return 0;
    } else {
      Fail("unknown argument " + argument + " (see --help)");
    }
  }
  if (mails <= 0) {
    Fail("--mails needs a positive number");
  }
  ::signal(SIGPIPE, SIG_IGN);
  char pattern[] = "/tmp/quillpost-broker-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    Fail("mkdtemp failed");
  }
  const fs::path folder = pattern;
  std::printf("%d mails of about 2 KB; rates per second\n", mails);
  std::printf("%-20s %12s %10s %10s %10s %10s\n", "queues", "queue sends", "Send x1", "Send x8",
              "1 relay", "2 relays");
  try {
    if (!brokerOnly) {
      Measure("store", "file://" + (folder / "store").string(), mails, folder);
    }
    if (broker.empty()) {
      std::printf("broker: not measured (no --broker and no $QUILLPOST_TEST_AMQP)\n");
    } else {
      Measure(name, broker, mails, folder);
    }
  } catch (const std::exception& error) {
    Fail(error.what());
  }
  fs::remove_all(folder);
  return 0;
}
