// Send against what the disk allows, side by side in one run:
//
//   raw        fdatasync of 2 KB appends to a file beside the store
//   1 thread   Submission::Send, one thread
//   8 threads  Submission::Send, eight threads at once (one commit serves many)
//   submit     quillpost-submit processes, one after the other
//   wake-up    from Send to the arrival report of a receiver in this process
//
// Each rate is also given as a share of the raw rate, and each latency in raw
// flushes, so that figures of one run compare even on a busy machine. The raw
// rate and the two Send rates are taken in turns, in slices of a tenth.
//
//   submission_bench [SECONDS [ROUNDS]]   (default 1 second per figure, 3 rounds;
//                                          the medians of the rounds close the run)

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "posix/unique_fd.h"
#include "queue/queue.h"
#include "quillpost/submission.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kQueue = "kvr_mailer";
constexpr const char* kWakeQueue = "bench_wakeup";
constexpr int kThreads = 8;
constexpr int kWakeSends = 200;
constexpr int kSlices = 10;

double Seconds(Clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

double Millis(Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

double Percentile(std::vector<double> samples, double fraction) {
  if (samples.empty()) {
    return 0;
  }
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1))];
}

void BuildExample(quillpost::Submission& mail) {
  mail.Initialise();
  mail.SetFrom("sender-address", "Sender Name");
  mail.AddRecipient("first-recipient");
  mail.AddRecipient("second-recipient");
  mail.SetSubject("Monthly figures & notes");
  mail.SetBody(std::string(1500, 'x'));
  mail.AddAttachment("C:\\out\\figures.xls");
}

// Runs operation over and over for about seconds; operations per second.
double Rate(double seconds, const std::function<void()>& operation) {
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  long count = 0;
  while (Clock::now() < end) {
    operation();
    ++count;
  }
  return static_cast<double>(count) / Seconds(Clock::now() - start);
}

double RawFlushRate(const std::string& folder, double seconds) {
  const std::string path = folder + "/raw-appends";
  const quillpost::posix::UniqueFd file(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600));
  if (!file.Valid()) {
    throw std::runtime_error("cannot open " + path);
  }
  const std::string block(2048, 'r');
  const double rate = Rate(seconds, [&] {
    if (::write(file.Get(), block.data(), block.size()) != static_cast<ssize_t>(block.size()) ||
        ::fdatasync(file.Get()) != 0) {
      throw std::runtime_error("cannot append to " + path);
    }
  });
  ::unlink(path.c_str());
  return rate;
}

double OneThreadRate(double seconds, const std::string& queue) {
  quillpost::Submission mail;
  BuildExample(mail);
  return Rate(seconds, [&] {
    if (mail.Send(queue) != quillpost::kAnswerOk) {
      throw std::runtime_error("a Send did not answer OK: " + mail.LastSendFailure());
    }
  });
}

double ThreadsRate(double seconds, int threads, const std::string& queue) {
  std::atomic<bool> stop{false};
  std::atomic<long> sent{0};
  std::atomic<long> failed{0};
  std::vector<std::jthread> senders;
  senders.reserve(static_cast<std::size_t>(threads));
  const auto start = Clock::now();
  for (int i = 0; i < threads; ++i) {
    senders.emplace_back([&] {
      quillpost::Submission mail;
      BuildExample(mail);
      while (!stop) {
        (mail.Send(queue) == quillpost::kAnswerOk ? sent : failed)++;
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  senders.clear();
  if (failed > 0) {
    throw std::runtime_error("a Send from several threads did not answer OK");
  }
  return static_cast<double>(sent) / Seconds(Clock::now() - start);
}

// Runs the program with arguments over and over, one after the other.
double ProcessRate(double seconds, const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const double rate = Rate(seconds, [&] {
    pid_t child = 0;
    int status = 0;
    if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ) != 0 ||
        ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      throw std::runtime_error(arguments[0] + " failed");
    }
  });
  posix_spawn_file_actions_destroy(&actions);
  return rate;
}

double SubmitRate(double seconds) {
  return ProcessRate(
      seconds, {QUILLPOST_SUBMIT_PROGRAM, "--from", "sender-address", "--to", "first-recipient",
                "--subject", "Monthly figures & notes", "--body", std::string(1500, 'x')});
}

struct WakeUp {
  std::vector<double> fromCall;    // Send called -> arrival report, ms
  std::vector<double> fromAnswer;  // Send answered -> arrival report, ms (0 when before)
};

// A receiver thread waits for arrival reports as the relay does; one message
// is sent at a time, the next once the previous one has arrived.
WakeUp MeasureWakeUp() {
  using quillpost::queue::Access;
  quillpost::queue::QueuePath(kWakeQueue).Create();
  const auto receiving = quillpost::queue::QueuePath(kWakeQueue).Open(Access::Receive);

  struct Sink : quillpost::queue::ArrivalSink {
    void Arrived(quillpost::queue::OpenQueue& /*queue*/, long /*cursor*/) override {
      at = Clock::now();
      reported = true;
    }
    Clock::time_point at;
    bool reported = false;
  } sink;

  std::atomic<int> arrived{0};
  std::atomic<bool> stop{false};
  std::vector<Clock::time_point> arrivals(kWakeSends);
  std::jthread receiver([&] {
    receiving->EnableNotification(sink);
    while (!stop) {
      pollfd wait{receiving->NotificationDescriptor(), POLLIN, 0};
      if (::poll(&wait, 1, 50) <= 0) {
        continue;
      }
      receiving->DeliverNotification();
      if (!sink.reported) {
        continue;
      }
      sink.reported = false;
      while (auto message = receiving->Receive(std::chrono::milliseconds(0))) {
        message->Finish();
        const int index = arrived.load();
        if (index < kWakeSends) {
          arrivals[static_cast<std::size_t>(index)] = sink.at;
        }
        ++arrived;
      }
      receiving->EnableNotification(sink);
    }
  });

  quillpost::Submission mail;
  BuildExample(mail);
  WakeUp wakeUp;
  for (int i = 0; i < kWakeSends; ++i) {
    const auto called = Clock::now();
    if (mail.Send(kWakeQueue) != quillpost::kAnswerOk) {
      throw std::runtime_error("a Send did not answer OK: " + mail.LastSendFailure());
    }
    const auto answered = Clock::now();
    const auto deadline = answered + std::chrono::seconds(5);
    while (arrived.load() <= i && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    if (arrived.load() <= i) {
      throw std::runtime_error("a message sent did not arrive within 5 s");
    }
    const auto at = arrivals[static_cast<std::size_t>(i)];
    wakeUp.fromCall.push_back(Millis(at - called));
    wakeUp.fromAnswer.push_back(std::max(0.0, Millis(at - answered)));
    // Senders of real mail come at random moments, not in step with the receiver.
    std::this_thread::sleep_for(std::chrono::microseconds(500 + (i * 7919) % 1500));
  }
  stop = true;
  return wakeUp;
}

struct Round {
  double raw = 0;
  double one = 0;
  double eight = 0;
  double submit = 0;
  double wakeMedian = 0;
  double wakeP99 = 0;
  double wakeAnswerMedian = 0;
  // Against the raw rate of the same round: shares of it, latencies in flushes.
  double oneShare = 0;
  double eightShare = 0;
  double submitShare = 0;
  double wakeMedianFlushes = 0;
  double wakeP99Flushes = 0;

  void TakeShares() {
    oneShare = one / raw;
    eightShare = eight / raw;
    submitShare = submit / raw;
    wakeMedianFlushes = wakeMedian * raw / 1000;
    wakeP99Flushes = wakeP99 * raw / 1000;
  }
};

void PrintRound(const char* title, const Round& r) {
  std::printf(
      "%-8s raw %7.0f/s | 1 thread %7.0f/s %5.0f%% | %d threads %7.0f/s %5.2fx |"
      " submit %5.0f/s %5.0f%% | wake-up median %5.2f ms p99 %6.2f ms (%4.1f / %5.1f"
      " flushes), after the answer %5.2f ms\n",
      title, r.raw, r.one, 100 * r.oneShare, kThreads, r.eight, r.eightShare, r.submit,
      100 * r.submitShare, r.wakeMedian, r.wakeP99, r.wakeMedianFlushes, r.wakeP99Flushes,
      r.wakeAnswerMedian);
}

double Median(std::vector<double> values) {
  return Percentile(std::move(values), 0.5);
}

int Run(const std::string& folder, double seconds, int rounds) {
  std::vector<Round> results;
  for (int i = 0; i < rounds; ++i) {
    Round round;
    // The disk of a shared machine changes pace from one moment to the next:
    // the three rates are taken in turns, in short slices, so that each
    // meets the same disk.
    for (int slice = 0; slice < kSlices; ++slice) {
      round.raw += RawFlushRate(folder, seconds / kSlices) / kSlices;
      round.one += OneThreadRate(seconds / kSlices, kQueue) / kSlices;
      round.eight += ThreadsRate(seconds / kSlices, kThreads, kQueue) / kSlices;
    }
    round.submit = SubmitRate(seconds);
    const WakeUp wakeUp = MeasureWakeUp();
    round.wakeMedian = Percentile(wakeUp.fromCall, 0.5);
    round.wakeP99 = Percentile(wakeUp.fromCall, 0.99);
    round.wakeAnswerMedian = Percentile(wakeUp.fromAnswer, 0.5);
    round.TakeShares();
    PrintRound(("round " + std::to_string(i + 1)).c_str(), round);
    results.push_back(round);
  }
  // Each figure's median over the rounds, shares included: a share is taken
  // within its own round, never against another round's disk.
  auto median = [&](double Round::*field) {
    std::vector<double> values;
    values.reserve(results.size());
    for (const Round& round : results) {
      values.push_back(round.*field);
    }
    return Median(values);
  };
  Round medians;
  for (double Round::*field :
       {&Round::raw, &Round::one, &Round::eight, &Round::submit, &Round::wakeMedian,
        &Round::wakeP99, &Round::wakeAnswerMedian, &Round::oneShare, &Round::eightShare,
        &Round::submitShare, &Round::wakeMedianFlushes, &Round::wakeP99Flushes}) {
    medians.*field = median(field);
  }
  PrintRound("median", medians);
  std::printf(
      "goals: 1 thread >= 80%% of raw; %d threads >= 3x raw; submit >= 200/s;"
      " wake-up median < 2 ms\n",
      kThreads);

  // What starting a process costs on this machine, whatever it does: the
  // floor under the quillpost-submit figure.
  std::printf("processes per second: /bin/true %.0f/s, quillpost-submit --version %.0f/s\n",
              ProcessRate(seconds, {"/bin/true"}),
              ProcessRate(seconds, {QUILLPOST_SUBMIT_PROGRAM, "--version"}));

  // The same Send to a broker queue, when a test broker is named.
  if (const char* broker = std::getenv("QUILLPOST_TEST_AMQP"); broker != nullptr && *broker) {
    const std::string queue = std::string(broker) + "/quillpost_submission_bench";
    quillpost::queue::QueuePath(queue).Create();
    const double one = OneThreadRate(seconds, queue);
    const double eight = ThreadsRate(seconds, kThreads, queue);
    quillpost::queue::QueuePath(queue).Delete();
    std::printf("broker: 1 thread %.0f/s, %d threads %.0f/s (%.2fx one thread)\n", one, kThreads,
                eight, eight / one);
  }

  // The library's own work for one request, without the queue.
  std::size_t bytes = 0;
  const double builds = Rate(seconds / 4, [&] {
    quillpost::Submission fresh;
    BuildExample(fresh);
    bytes += fresh.DocumentText().size();
  });
  std::printf("build + serialize one request: %.2f us, %.1f%% of one Send from one thread\n",
              1e6 / builds, 100.0 * medians.one / builds);
  return bytes > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  if (seconds <= 0 || rounds <= 0) {
    std::fprintf(stderr, "usage: submission_bench [SECONDS [ROUNDS]]  (positive numbers)\n");
    return 2;
  }
  std::string folder =
      (std::filesystem::temp_directory_path() / "quillpost-submission-bench-XXXXXX").string();
  if (mkdtemp(folder.data()) == nullptr) {
    std::perror("submission_bench: mkdtemp");
    return 1;
  }
  setenv("QUILLPOST_STORE", folder.c_str(), 1);
  std::printf("store %s; %.1f s per figure; document of one request: about 2 KB\n", folder.c_str(),
              seconds);
  int status = 1;
  try {
    quillpost::queue::QueuePath(kQueue).Create();
    status = Run(folder, seconds, rounds);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "submission_bench: %s\n", error.what());
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return status;
}
