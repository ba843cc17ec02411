// Prints the queue store's figures beside the raw rate of fsync'd 2 KB writes
// on the same file system:
//   - sends per second and receive-and-finish per second;
//   - wake-up latency from a Send in this process to the Arrived in another;
//   - the cost of one Receive with 100,000 messages waiting versus 10.
//
//   queue_bench [--folder DIR]     (default: a fresh folder under $TMPDIR)

#include <fcntl.h>
#include <poll.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "latency_peer.h"
#include "queue/admin/queue_admin.h"
#include "queue/queue.h"

namespace qq = quillpost::queue;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kSends = 300;
constexpr int kWakeups = 200;
constexpr int kReceiveSamples = 40;
constexpr std::size_t kBodyBytes = 2048;

double RawFsyncRate(const std::string& folder) {
  const std::string block(kBodyBytes, 'b');
  const std::string file = folder + "/raw-fsync";
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::perror("raw-fsync");
    std::exit(1);
  }
  constexpr int kWrites = 300;
  const auto start = Clock::now();
  for (int i = 0; i < kWrites; ++i) {
    if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size()) ||
        ::fsync(fd) != 0) {
      std::perror("raw-fsync");
      std::exit(1);
    }
  }
  const double rate = kWrites / Seconds(Clock::now() - start);
  ::close(fd);
  ::unlink(file.c_str());
  return rate;
}

double SendRate(const std::string& path) {
  auto queue = qq::QueuePath(path).Open(qq::Access::Send);
  const std::string body(kBodyBytes, 'b');
  const auto start = Clock::now();
  for (int i = 0; i < kSends; ++i) {
    queue->Send({"Quillpost-Inbound", body, 7});
  }
  return kSends / Seconds(Clock::now() - start);
}

double ReceiveAndFinishRate(const std::string& path) {
  auto queue = qq::QueuePath(path).Open(qq::Access::Receive);
  int received = 0;
  const auto start = Clock::now();
  while (auto message = queue->Receive(milliseconds(0))) {
    message->Finish();
    ++received;
  }
  return received / Seconds(Clock::now() - start);
}

// Fills a queue through the store's database in one transaction: sending
// 100,000 messages one durable commit at a time would take many minutes.
void Fill(const std::string& folder, const std::string& queue, int count) {
  sqlite3* db = nullptr;
  if (sqlite3_open((folder + "/queues.db").c_str(), &db) != SQLITE_OK) {
    std::cerr << "cannot open the store to fill it\n";
    std::exit(1);
  }
  const std::string sql =
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
      std::to_string(count) +
      ") INSERT INTO messages(queue, priority, label, body)"
      " SELECT (SELECT id FROM queues WHERE name = '" +
      queue + "'), abs(random()) % 8, 'filler', zeroblob(2048) FROM n";
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
    std::cerr << "cannot fill the queue: " << sqlite3_errmsg(db) << '\n';
    std::exit(1);
  }
  sqlite3_close(db);
}

double MedianReceiveMs(const std::string& path) {
  auto queue = qq::QueuePath(path).Open(qq::Access::Receive);
  std::vector<double> samples;
  for (int i = 0; i < kReceiveSamples; ++i) {
    const auto start = Clock::now();
    auto message = queue->Receive(milliseconds(0));
    samples.push_back(Seconds(Clock::now() - start) * 1000);
    if (!message) {
      std::cerr << "queue ran dry\n";
      std::exit(1);
    }
    message->Finish();
  }
  return Percentile(samples, 0.5);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--latency-receiver") {
    return RunLatencyReceiver(argv[2]);
  }
  std::string folder;
  if (argc == 2 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help")) {
    std::cout << "usage: queue_bench [--folder DIR]\n"
                 "Prints the queue store's send, receive and wake-up figures beside the raw\n"
                 "fsync'd 2 KB write rate of the same file system.\n";
    return 0;
  }
  bool own = false;
  if (argc == 3 && std::string(argv[1]) == "--folder") {
    folder = argv[2];
  } else {
    std::string pattern = (std::filesystem::temp_directory_path() / "queue-bench-XXXXXX").string();
    folder = ::mkdtemp(pattern.data());
    own = true;
  }
  const std::string store = folder + "/store";
  auto path = [&](const std::string& name) { return "file://" + store + "/" + name; };
  for (const char* name : {"rate", "wake", "small", "big"}) {
    qq::CreateQueue(path(name));
  }

  const double raw1 = RawFsyncRate(folder);
  const double sends = SendRate(path("rate"));
  const double receives = ReceiveAndFinishRate(path("rate"));
  const double raw2 = RawFsyncRate(folder);
  const double raw = (raw1 + raw2) / 2;
  std::printf("raw fsync'd 2 KB writes:  %8.0f /s\n", raw);
  std::printf("sends (2 KB body):        %8.0f /s  (%.0f%% of raw)\n", sends, 100 * sends / raw);
  std::printf("receive-and-finish:       %8.0f /s  (%.0f%% of raw)\n", receives,
              100 * receives / raw);

  const WakeupFigures wake = MeasureWakeups(argv[0], path("wake"), kWakeups);
  std::printf("wake-up, Send returned -> Arrived in another process: median %.3f ms, p99 %.3f ms\n",
              wake.afterReturn.median, wake.afterReturn.p99);
  std::printf("wake-up, Send called   -> Arrived in another process: median %.3f ms, p99 %.3f ms\n",
              wake.afterCall.median, wake.afterCall.p99);

  Fill(store, "small", 10 + kReceiveSamples);
  Fill(store, "big", 100000);
  const double small = MedianReceiveMs(path("small"));
  const double big = MedianReceiveMs(path("big"));
  std::printf("one Receive (median): %.3f ms with ~10 waiting, %.3f ms with 100,000 waiting\n",
              small, big);

  if (own) {
    std::filesystem::remove_all(folder);
  }
  return 0;
}
