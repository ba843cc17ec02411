// Send calls per second into the embedded store, beside the store's own send
// rate for the same message, and the library's own share of a send: building
// the request and turning it into text.
//
//   submission_bench [SENDS]    (default 200 per round, best of 3 rounds)

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "queue/queue.h"
#include "quillpost/submission.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kQueue = "kvr_mailer";
constexpr int kRounds = 3;

void BuildExample(quillpost::Submission& mail) {
  mail.Initialise();
  mail.SetFrom("sender-address", "Sender Name");
  mail.AddRecipient("first-recipient");
  mail.AddRecipient("second-recipient");
  mail.SetSubject("Monthly figures & notes");
  mail.SetBody("See the attached figures.");
  mail.AddAttachment("C:\\out\\figures.xls");
}

// Time per operation, in microseconds, over count calls.
double MicrosEach(int count, const std::function<void()>& operation) {
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    operation();
  }
  const std::chrono::duration<double, std::micro> spent = Clock::now() - start;
  return spent.count() / count;
}

// Best time per operation, in microseconds, over kRounds rounds of count calls.
double BestMicros(int count, const std::function<void()>& operation) {
  double best = MicrosEach(count, operation);
  for (int round = 1; round < kRounds; ++round) {
    best = std::min(best, MicrosEach(count, operation));
  }
  return best;
}

void Drain() {
  const auto open = quillpost::queue::QueuePath(kQueue).Open(quillpost::queue::Access::Receive);
  while (auto message = open->Receive(std::chrono::milliseconds(0))) {
    message->Finish();
  }
}

int Run(int sends) {
  quillpost::Submission mail;
  BuildExample(mail);
  const quillpost::queue::Message raw{"Quillpost-Inbound", mail.DocumentText(), 7};
  const quillpost::queue::QueuePath path(kQueue);

  // The store alone (open, send the finished document, close; as Send does)
  // and Send itself, in alternating rounds so that both meet the same disk.
  bool allOk = true;
  double storeMicros = 0;
  double sendMicros = 0;
  for (int round = 0; round < kRounds; ++round) {
    const double store = MicrosEach(sends, [&] {
      const auto open = path.Open(quillpost::queue::Access::Send);
      open->Send(raw);
      open->Close();
    });
    const double send =
        MicrosEach(sends, [&] { allOk = allOk && mail.Send(kQueue) == quillpost::kAnswerOk; });
    storeMicros = round == 0 ? store : std::min(storeMicros, store);
    sendMicros = round == 0 ? send : std::min(sendMicros, send);
    Drain();
  }

  // The library's own work for one request, without the queue.
  std::size_t bytes = 0;
  const double buildMicros = BestMicros(sends * 10, [&] {
    quillpost::Submission fresh;
    BuildExample(fresh);
    bytes += fresh.DocumentText().size();
  });
  const double serializeMicros =
      BestMicros(sends * 10, [&] { bytes += mail.DocumentText().size(); });

  if (!allOk) {
    std::fprintf(stderr, "submission_bench: a Send did not answer OK\n");
    return 1;
  }
  std::printf("document: %zu bytes; %d sends per round, best of %d rounds\n", raw.body.size(),
              sends, kRounds);
  std::printf("store send (open, send, close):   %9.1f us  %9.0f sends/s\n", storeMicros,
              1e6 / storeMicros);
  std::printf("Submission::Send:                 %9.1f us  %9.0f sends/s\n", sendMicros,
              1e6 / sendMicros);
  std::printf("build + serialize one request:    %9.2f us\n", buildMicros);
  std::printf("serialize only (part of Send):    %9.2f us\n", serializeMicros);
  std::printf("library overhead per request:     %9.2f %% of a store send (goal < 10 %%)\n",
              100.0 * buildMicros / storeMicros);
  std::printf("Send against the raw store:       %+9.2f %%\n",
              100.0 * (sendMicros - storeMicros) / storeMicros);
  return bytes > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const int sends = argc > 1 ? std::atoi(argv[1]) : 200;
  if (sends <= 0) {
    std::fprintf(stderr, "usage: submission_bench [SENDS]  (a positive number)\n");
    return 2;
  }
  std::string folder =
      (std::filesystem::temp_directory_path() / "quillpost-submission-bench-XXXXXX").string();
  if (mkdtemp(folder.data()) == nullptr) {
    std::perror("submission_bench: mkdtemp");
    return 1;
  }
  setenv("QUILLPOST_STORE", folder.c_str(), 1);
  int status = 1;
  try {
    quillpost::queue::QueuePath(kQueue).Create();
    status = Run(sends);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "submission_bench: %s\n", error.what());
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return status;
}
