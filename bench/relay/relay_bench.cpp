// End-to-end benchmark of the relay: requests submitted through the library,
// relayed by one or two quillpost-smtp processes sharing the store, accepted
// by Postfix's smtp-sink, which dumps every mail to a file. The file's time
// is the moment of acceptance; the subject carries the moment of Send.
//
//   relay_bench [--mails N] [--relay PATH] [--limit-mails N] [--paced-rate R]
//               [--server-delay MS] [--delayed-mails N] [--drain-runs K] [--network K]
//
// Prints, for one relay and for two: mails per second draining a full queue,
// mails per second and latency (median, 99th percentile) while requests
// stream in, the latency again for requests paced at R per second, the
// relays' CPU time per mail, their peak memory and their CPU use while idle;
// and the sink's own limit, measured with smtp-source over one reused session.
// Last, one relay against two draining a queue to a sink whose every reply is
// held back by a delay, as a distant server's would be (--server-delay MS).
// With --drain-runs K it measures only one relay draining a full queue, K
// times, each beside smtp-source pushing as many mails of the same size into
// the same sink (dumping them too), and prints the median share. With
// --network K, one relay on its default settings against smtp-source -s 20 -d,
// both through a proxy that adds a round trip of 0, 2, 10 and 40 ms.

#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "delay_proxy.h"
#include "quillpost/submission.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

[[noreturn]] void Fail(const std::string& text) {
  std::fprintf(stderr, "relay_bench: %s\n", text.c_str());
  std::exit(1);
}

std::int64_t NowNs() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// A background process, killed when the object goes.
class Child {
 public:
  Child(const std::vector<std::string>& arguments, const std::string& output) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const auto& argument : arguments) {
      argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
      Fail("cannot start " + arguments[0]);
    }
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() { Stop(SIGKILL); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t Pid() const { return pid_; }
  int Stop(int signal) {
    if (pid_ <= 0) {
      return -1;
    }
    ::kill(pid_, signal);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
};

int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    Fail("cannot probe a free port");
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

bool Accepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// utime + stime of a live process, in seconds.
double CpuSeconds(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long ticks = 0;
  for (int index = 3; fields >> field; ++index) {
    if (index == 14 || index == 15) {
      ticks += std::stol(field);
    }
  }
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Peak resident memory of a live process, in MB.
double PeakMegabytes(pid_t pid) {
  std::istringstream status(ReadFile("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmHWM:")) {
      return std::stod(line.substr(6)) / 1024.0;
    }
  }
  return 0;
}

std::size_t CountFiles(const fs::path& folder) {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) {
    ++count;
  }
  return count;
}

struct Accepted {
  std::string phase;
  std::int64_t sentNs = 0;
  std::int64_t acceptedNs = 0;
};

std::vector<Accepted> ReadDumps(const fs::path& folder) {
  std::vector<Accepted> result;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string text = ReadFile(entry.path());
    const auto at = text.find("\nSubject: bench ");
    if (at == std::string::npos) {
      continue;
    }
    std::istringstream subject(text.substr(at + 16, 64));
    Accepted accepted;
    long number = 0;
    subject >> accepted.phase >> number >> accepted.sentNs;
    struct stat info {};
    ::stat(entry.path().c_str(), &info);
    accepted.acceptedNs =
        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
    result.push_back(accepted);
  }
  return result;
}

// Octets added to each body, so that mails come to the size a run wants.
std::size_t bodyPadding = 0;

void Submit(const std::string& phase, int number) {
  quillpost::Submission submission;
  submission.Initialise();
  submission.SetFrom("reports@example.org", "Nightly Reports");
  submission.AddRecipient("ops@example.org");
  submission.SetSubject("bench " + phase + " " + std::to_string(number) + " " +
                        std::to_string(NowNs()));
  submission.SetBody(
      std::string(
          "The nightly run finished without errors. Totals and timings are in the usual place.\n"
          "This line and the next make the body about as long as a short notification.\n"
          "Nothing needs to be done.\n") +
      std::string(bodyPadding, 'x'));
  if (submission.Send(quillpost::kInboundQueueName) != quillpost::kAnswerOk) {
    Fail("Send did not answer OK");
  }
}

double Percentile(std::vector<double> values, double share) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1));
  return values[index];
}

// Postfix's smtp-sink and smtp-source: from $QUILLPOST_POSTFIX_TOOLS (a
// folder the postfix package was unpacked into) when set, else installed.
std::string PostfixTool(const std::string& name) {
  const char* unpacked = std::getenv("QUILLPOST_POSTFIX_TOOLS");
  return (unpacked != nullptr && *unpacked != '\0' ? std::string(unpacked) : std::string()) +
         "/usr/sbin/" + name;
}

struct SinkLimit {
  double mailsPerSecond = 0;
};

std::vector<std::string> SinkCommand(int port, const std::string& dumpTemplate) {
  std::vector<std::string> command = {PostfixTool("smtp-sink")};
  if (::geteuid() == 0) {
    command.insert(command.end(), {"-u", "nobody"});
  }
  if (!dumpTemplate.empty()) {
    command.insert(command.end(), {"-d", dumpTemplate});
  }
  command.insert(command.end(), {"127.0.0.1:" + std::to_string(port), "256"});
  return command;
}

double MeasureSinkLimit(const fs::path& folder, const fs::path& dumpRoot, int mails, bool dump,
                        std::uintmax_t size = 400, int sessions = 1, double delayMs = 0) {
  const int port = FreePort();
  const fs::path dumps = dumpRoot / (dump ? "limit-dumps" : "limit-none");
  fs::create_directories(dumps);
  fs::permissions(dumps, fs::perms::all);
  Child sink(SinkCommand(port, dump ? (dumps / "%H%M%S.").string() : ""),
             (folder / "limit-sink.out").string());
  if (!WaitFor([&] { return Accepts(port); }, 5s)) {
    Fail("smtp-sink does not accept connections");
  }
  std::optional<quillpost::bench::DelayProxy> distant;
  int sourcePort = port;
  if (delayMs > 0) {
    distant.emplace(port, std::chrono::microseconds(static_cast<std::int64_t>(delayMs * 1000)));
    sourcePort = distant->Port();
  }
  const auto start = std::chrono::steady_clock::now();
  Child source({PostfixTool("smtp-source"), "-d", "-s", std::to_string(sessions), "-m",
                std::to_string(mails), "-l", std::to_string(size),
                "127.0.0.1:" + std::to_string(sourcePort)},
               (folder / "limit-source.out").string());
  int status = 0;
  ::waitpid(source.Pid(), &status, 0);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  fs::remove_all(dumps);
  return mails / seconds;
}

struct Figures {
  double drainRate = 0;
  double streamRate = 0;
  double submitRate = 0;
  double medianMs = 0;
  double p99Ms = 0;
  double pacedRate = 0;
  double pacedMedianMs = 0;
  double pacedP99Ms = 0;
  double cpuMsPerMail = 0;
  double peakMb = 0;
  double idleCpuSeconds = 0;
  double drainCpuMsPerMail = 0;
  std::uintmax_t mailSize = 0;  // as the sink dumped one
};

struct Run {
  int relays = 1;
  int mails = 0;
  double pacedRate = 0;
  // When above zero: every server reply held back this long, and only the
  // drain is measured.
  double serverDelayMs = 0;
  bool drainOnly = false;
  std::string name;  // of the run's folder, when several runs share a setup
};

Figures RunRelays(const fs::path& folder, const fs::path& dumpRoot, const std::string& relayProgram,
                  const Run& setup) {
  const int relays = setup.relays;
  const int mails = setup.mails;
  const double pacedRate = setup.pacedRate;
  Figures figures;
  const fs::path run = folder / ("relays-" + std::to_string(relays) +
                                 (setup.serverDelayMs > 0 ? "-delayed" : "") + setup.name);
  const fs::path store = run / "store";
  const fs::path dumps = dumpRoot / run.filename();
  fs::create_directories(run);
  fs::create_directories(dumps);
  fs::permissions(run, fs::perms::all);
  fs::permissions(dumps, fs::perms::all);
  ::setenv("QUILLPOST_STORE", store.c_str(), 1);

  const int port = FreePort();
  Child sink(SinkCommand(port, (dumps / "%H%M%S.").string()), (run / "sink.out").string());
  if (!WaitFor([&] { return Accepts(port); }, 5s)) {
    Fail("smtp-sink does not accept connections");
  }
  std::optional<quillpost::bench::DelayProxy> distant;
  int relayPort = port;
  if (setup.serverDelayMs > 0) {
    distant.emplace(
        port, std::chrono::microseconds(static_cast<std::int64_t>(setup.serverDelayMs * 1000)));
    relayPort = distant->Port();
  }
  const fs::path logFile = run / "relay.log";
  const auto startRelays = [&] {
    std::vector<std::unique_ptr<Child>> started;
    started.reserve(static_cast<std::size_t>(relays));
    for (int i = 0; i < relays; ++i) {
      started.push_back(std::make_unique<Child>(
          std::vector<std::string>{relayProgram, "--headless", "--smtp-server", "127.0.0.1",
                                   "--smtp-port", std::to_string(relayPort), "--smtp-security",
                                   "none", "--log-file", logFile.string()},
          "/dev/null"));
    }
    return started;
  };
  const auto countLines = [&] {
    const std::string text = ReadFile(logFile);
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  };

  // The queues exist once a relay has started; then fill the inbound queue
  // with nobody listening.
  {
    auto first = startRelays();
    if (!WaitFor([&] { return countLines() >= relays; }, 10s)) {
      Fail("the relay did not start; see " + logFile.string());
    }
    for (auto& relay : first) {
      relay->Stop(SIGTERM);
    }
  }
  const auto submitStart = std::chrono::steady_clock::now();
  for (int i = 0; i < mails; ++i) {
    Submit("drain", i);
  }
  figures.submitRate =
      mails / std::chrono::duration<double>(std::chrono::steady_clock::now() - submitStart).count();

  // Drain: from the start of the relays to the last acceptance.
  const std::int64_t drainStart = NowNs();
  auto running = startRelays();
  if (!WaitFor([&] { return CountFiles(dumps) >= static_cast<std::size_t>(mails); }, 120s)) {
    Fail("not every mail arrived while draining");
  }
  std::int64_t drainEnd = 0;
  for (const Accepted& accepted : ReadDumps(dumps)) {
    drainEnd = std::max(drainEnd, accepted.acceptedNs);
  }
  figures.drainRate = mails / (static_cast<double>(drainEnd - drainStart) / 1e9);
  double drainCpu = 0;
  for (auto& relay : running) {
    drainCpu += CpuSeconds(relay->Pid());
  }
  figures.drainCpuMsPerMail = drainCpu * 1000 / mails;
  figures.mailSize = fs::file_size(fs::directory_iterator(dumps)->path());
  if (setup.serverDelayMs > 0 || setup.drainOnly) {
    for (auto& relay : running) {
      figures.peakMb = std::max(figures.peakMb, PeakMegabytes(relay->Pid()));
    }
    for (auto& relay : running) {
      relay->Stop(SIGTERM);
    }
    return figures;
  }

  // Stream: requests submitted as fast as the library goes while the relays run.
  const std::int64_t streamStart = NowNs();
  for (int i = 0; i < mails; ++i) {
    Submit("stream", i);
  }
  if (!WaitFor([&] { return CountFiles(dumps) >= 2 * static_cast<std::size_t>(mails); }, 120s)) {
    Fail("not every mail arrived while streaming");
  }
  std::vector<double> latencies;
  std::int64_t streamEnd = 0;
  for (const Accepted& accepted : ReadDumps(dumps)) {
    if (accepted.phase == "stream") {
      latencies.push_back(static_cast<double>(accepted.acceptedNs - accepted.sentNs) / 1e6);
      streamEnd = std::max(streamEnd, accepted.acceptedNs);
    }
  }
  figures.streamRate = mails / (static_cast<double>(streamEnd - streamStart) / 1e9);
  figures.medianMs = Percentile(latencies, 0.5);
  figures.p99Ms = Percentile(latencies, 0.99);

  // Paced: requests at a steady rate the relays keep up with, so the latency
  // is that of one mail rather than of a backlog.
  const int paced = std::max(1, mails / 4);
  const auto gap = std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 / pacedRate));
  auto next = std::chrono::steady_clock::now();
  for (int i = 0; i < paced; ++i) {
    std::this_thread::sleep_until(next);
    next += gap;
    Submit("paced", i);
  }
  const std::size_t total = 2 * static_cast<std::size_t>(mails) + static_cast<std::size_t>(paced);
  if (!WaitFor([&] { return CountFiles(dumps) >= total; }, 120s)) {
    Fail("not every mail arrived while pacing");
  }
  std::vector<double> pacedLatencies;
  for (const Accepted& accepted : ReadDumps(dumps)) {
    if (accepted.phase == "paced") {
      pacedLatencies.push_back(static_cast<double>(accepted.acceptedNs - accepted.sentNs) / 1e6);
    }
  }
  figures.pacedRate = pacedRate;
  figures.pacedMedianMs = Percentile(pacedLatencies, 0.5);
  figures.pacedP99Ms = Percentile(pacedLatencies, 0.99);

  double cpu = 0;
  for (auto& relay : running) {
    cpu += CpuSeconds(relay->Pid());
    figures.peakMb = std::max(figures.peakMb, PeakMegabytes(relay->Pid()));
  }
  figures.cpuMsPerMail = cpu * 1000 / static_cast<double>(total);
  // Idle: nothing arrives for three seconds.
  std::this_thread::sleep_for(3s);
  double after = 0;
  for (auto& relay : running) {
    after += CpuSeconds(relay->Pid());
  }
  figures.idleCpuSeconds = after - cpu;
  for (auto& relay : running) {
    relay->Stop(SIGTERM);
  }
  return figures;
}

void Print(const char* title, const Figures& f, double limit) {
  std::printf("%s\n", title);
  std::printf("  submit through the library:  %8.0f requests/s\n", f.submitRate);
  std::printf("  drain a full queue:          %8.0f mails/s  (%.0f%% of the sink's limit)\n",
              f.drainRate, 100 * f.drainRate / limit);
  std::printf("  while requests stream in:    %8.0f mails/s\n", f.streamRate);
  std::printf("  latency Send -> accepted:    median %.2f ms, 99th percentile %.2f ms\n",
              f.medianMs, f.p99Ms);
  std::printf("  same at %.0f requests/s:      median %.2f ms, 99th percentile %.2f ms\n",
              f.pacedRate, f.pacedMedianMs, f.pacedP99Ms);
  std::printf("  relay CPU per mail:          %8.3f ms (%.3f ms while draining)\n", f.cpuMsPerMail,
              f.drainCpuMsPerMail);
  std::printf("  relay peak memory:           %8.1f MB\n", f.peakMb);
  std::printf("  relay CPU in 3 s idle:       %8.2f s\n", f.idleCpuSeconds);
}

double Median(std::vector<double> values) {
  return Percentile(std::move(values), 0.5);
}

// One relay on its default settings draining mails of about 2 KB through a
// proxy that adds each round trip, beside smtp-source -s 20 -d pushing as
// many of the same size through the same proxy into the same kind of sink;
// medians of runs.
void CompareOverNetwork(const fs::path& folder, const fs::path& dumpRoot, const std::string& relay,
                        int mails, int runs) {
  bodyPadding = 1800;
  std::printf("%-10s %14s %12s %10s %22s %8s\n", "round trip", "relay mails/s", "CPU ms/mail",
              "peak MB", "smtp-source -s 20 -d", "share");
  for (const double rtt : {0.0, 2.0, 10.0, 40.0}) {
    std::vector<double> rates;
    std::vector<double> cpu;
    std::vector<double> peak;
    std::vector<double> source;
    for (int run = 0; run < runs; ++run) {
      const std::string name =
          "-net-" + std::to_string(static_cast<int>(rtt)) + "-" + std::to_string(run);
      const Figures f = RunRelays(folder, dumpRoot, relay, Run{1, mails, 0, rtt, true, name});
      rates.push_back(f.drainRate);
      cpu.push_back(f.drainCpuMsPerMail);
      peak.push_back(f.peakMb);
      source.push_back(MeasureSinkLimit(folder, dumpRoot, mails, true, f.mailSize, 20, rtt));
    }
    std::printf("%7.0f ms %14.0f %12.3f %10.1f %22.0f %7.0f%%\n", rtt, Median(rates), Median(cpu),
                Median(peak), Median(source), 100 * Median(rates) / Median(source));
    std::fflush(stdout);
  }
}

// One relay draining a full queue, runs times, each right after smtp-source
// pushed as many mails of the same size into a sink that dumps them alike.
void CompareDrains(const fs::path& folder, const fs::path& dumpRoot, const std::string& relay,
                   int mails, int runs) {
  std::vector<double> shares;
  std::vector<double> cpu;
  std::uintmax_t size = 0;
  for (int run = 0; run < runs; ++run) {
    if (size == 0) {  // the size of the relay's mails, from a first short drain
      size = RunRelays(folder, dumpRoot, relay, Run{1, 10, 0, 0, true, "-size"}).mailSize;
    }
    const double source = MeasureSinkLimit(folder, dumpRoot, mails, true, size);
    const Figures drain =
        RunRelays(folder, dumpRoot, relay, Run{1, mails, 0, 0, true, "-" + std::to_string(run)});
    shares.push_back(drain.drainRate / source);
    cpu.push_back(drain.drainCpuMsPerMail);
    std::printf(
        "run %d: smtp-source %.0f mails/s, one relay draining %d requests %.0f mails/s: %.0f%%; "
        "relay CPU %.3f ms per mail\n",
        run + 1, source, mails, drain.drainRate, 100 * shares.back(), cpu.back());
  }
  std::printf(
      "median of %d runs (mails of %ju octets as dumped): %.0f%% of smtp-source's rate, "
      "relay CPU %.3f ms per mail\n",
      runs, size, 100 * Percentile(shares, 0.5), Percentile(cpu, 0.5));
}

}  // namespace

int main(int argc, char** argv) {
  int mails = 2000;
  int limitMails = 20000;
  double pacedRate = 200;
  double serverDelayMs = 2;
  int delayedMails = 1000;
  int drainRuns = 0;
  int networkRuns = 0;
  std::string relay = QUILLPOST_SMTP_PROGRAM;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "-h" || argument == "--help") {
      std::puts(
          "usage: relay_bench [--mails N] [--limit-mails N] [--paced-rate R] [--relay PATH]\n"
          "                   [--server-delay MS] [--delayed-mails N] [--drain-runs K]\n"
          "Relays N requests (default 2000) through one and then two quillpost-smtp\n"
          "processes to Postfix's smtp-sink and prints rates, latency, CPU and memory;\n"
          "then N/4 more at R requests/s (default 200) for the latency of one mail.\n"
          "Last, one relay and then two drain N requests (--delayed-mails, default\n"
          "1000) to the sink with each of its replies held back MS milliseconds\n"
          "(--server-delay, default 2; 0 leaves this out).\n"
          "--drain-runs K: only one relay draining N requests, K times, each beside\n"
          "smtp-source pushing N mails of the same size; prints the median share.\n"
          "--network K: only one relay on its default settings draining N mails of\n"
          "about 2 KB through a proxy adding a round trip of 0, 2, 10 and 40 ms,\n"
          "beside smtp-source -s 20 -d through the same proxy; medians of K runs.");
      return 0;
    }
    if (i + 1 >= argc) {
      Fail(argument + " needs a value (see --help)");
    }
    const std::string value = argv[++i];
    try {
      if (argument == "--mails") {
        mails = std::stoi(value);
      } else if (argument == "--limit-mails") {
        limitMails = std::stoi(value);
      } else if (argument == "--paced-rate") {
        pacedRate = std::stod(value);
      } else if (argument == "--server-delay") {
        serverDelayMs = std::stod(value);
      } else if (argument == "--drain-runs") {
        drainRuns = std::stoi(value);
      } else if (argument == "--network") {
        networkRuns = std::stoi(value);
      } else if (argument == "--delayed-mails") {
        delayedMails = std::stoi(value);
      } else if (argument == "--relay") {
        relay = value;
      } else {
        Fail("unknown option " + argument);
      }
    } catch (const std::logic_error&) {
      std::string text = argument;
      text += ": not a number: ";
      text += value;
      Fail(text);
    }
  }
  if (mails < 1 || limitMails < 1 || delayedMails < 1 || !(pacedRate > 0) ||
      !(serverDelayMs >= 0)) {
    Fail("counts and the rate must be above zero, the delay zero or more");
  }
  if (!fs::exists(PostfixTool("smtp-sink"))) {
    Fail("smtp-sink is missing: install the Debian package postfix");
  }

  std::string pattern = (fs::temp_directory_path() / "relay-bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    Fail("cannot create a scratch folder");
  }
  const fs::path folder = pattern;
  fs::permissions(folder, fs::perms::all);
  // The sink's files only time the acceptances; in memory, when the machine
  // has a memory file system, they do not compete with the store for the disk.
  fs::path dumpRoot = folder / "dumps";
  std::string inMemory = "/dev/shm/relay-bench-XXXXXX";
  if (fs::is_directory("/dev/shm") && ::mkdtemp(inMemory.data()) != nullptr) {
    dumpRoot = inMemory;
  }
  fs::create_directories(dumpRoot);
  fs::permissions(dumpRoot, fs::perms::all);

  if (networkRuns > 0) {
    CompareOverNetwork(folder, dumpRoot, relay, mails, networkRuns);
    fs::remove_all(dumpRoot);
    fs::remove_all(folder);
    return 0;
  }
  if (drainRuns > 0) {
    CompareDrains(folder, dumpRoot, relay, mails, drainRuns);
    fs::remove_all(dumpRoot);
    fs::remove_all(folder);
    return 0;
  }
  const double limit = MeasureSinkLimit(folder, dumpRoot, limitMails, false);
  const double dumpingLimit = MeasureSinkLimit(folder, dumpRoot, limitMails, true);
  std::printf(
      "smtp-sink limit (smtp-source, one reused session): %.0f mails/s; "
      "%.0f mails/s while dumping each mail to a file as in the runs below\n",
      limit, dumpingLimit);
  const Figures one = RunRelays(folder, dumpRoot, relay, Run{1, mails, pacedRate, 0, false, ""});
  Print("one relay", one, limit);
  const Figures two = RunRelays(folder, dumpRoot, relay, Run{2, mails, pacedRate, 0, false, ""});
  Print("two relays on one store", two, limit);
  std::printf("two relays / one relay (drain): %.2f\n", two.drainRate / one.drainRate);
  if (serverDelayMs > 0) {
    const Figures far =
        RunRelays(folder, dumpRoot, relay, Run{1, delayedMails, 0, serverDelayMs, false, ""});
    const Figures farTwo =
        RunRelays(folder, dumpRoot, relay, Run{2, delayedMails, 0, serverDelayMs, false, ""});
    std::printf(
        "every server reply held back %.1f ms (a distant server), draining %d requests:\n"
        "  one relay %.0f mails/s, two relays %.0f mails/s, two / one: %.2f\n",
        serverDelayMs, delayedMails, far.drainRate, farTwo.drainRate,
        farTwo.drainRate / far.drainRate);
  }
  fs::remove_all(dumpRoot);
  fs::remove_all(folder);
  return 0;
}
