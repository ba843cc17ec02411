// Mails per second to a local SMTP server: one kept session for all mails
// versus a new connection per mail, with a 2 KB body and with a 1 MB
// attachment, each beside what Postfix's smtp-source pushes into the same
// server for mails of the same size over one session, and the CPU time this
// process spends per mail. Run it through run_smtp_bench.sh, which starts a
// server.

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "mail/outgoing_mail.h"
#include "mail/session_cache.h"

namespace {

using quillpost::smtp::ConnectionSettings;
using quillpost::smtp::OutgoingMail;
using quillpost::smtp::SendFailure;

struct Options {
  std::string host = "127.0.0.1";
  int port = 0;
  int mails = 200;
  int peakAttachmentMb = 0;  // when set: one mail with an attachment this large, then the peak RSS
  std::string source = "/usr/sbin/smtp-source";
  int rounds = 3;
};

constexpr std::size_t kBodySize = 2048;
constexpr std::size_t kHeaderSize = 700;  // the header and MIME structure, about

void Usage(std::FILE* out) {
  std::fprintf(out,
               "usage: smtp_bench --port PORT [--host HOST] [--mails N] [--peak-attachment MB]\n"
               "                  [--rounds R] [--smtp-source PATH]\n"
               "Sends N mails (default 200) per scenario to the SMTP server at HOST:PORT\n"
               "(default host 127.0.0.1) and prints mails per second and CPU time per mail,\n"
               "beside smtp-source's rate for mails of the same size (left out when PATH\n"
               "does not exist); medians of R rounds (default 3) taken in turn. With\n"
               "--peak-attachment it sends one mail with an attachment of MB megabytes\n"
               "instead and prints the process's peak resident size before and after.\n");
}

bool Parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      std::exit(0);
    }
    if (i + 1 >= argc) {
      return false;
    }
    const std::string value = argv[++i];
    if (arg == "--host") {
      options.host = value;
    } else if (arg == "--port") {
      options.port = std::atoi(value.c_str());
    } else if (arg == "--mails") {
      options.mails = std::atoi(value.c_str());
    } else if (arg == "--peak-attachment") {
      options.peakAttachmentMb = std::atoi(value.c_str());
    } else if (arg == "--rounds") {
      options.rounds = std::atoi(value.c_str());
    } else if (arg == "--smtp-source") {
      options.source = value;
    } else {
      return false;
    }
  }
  return options.port > 0 && options.mails > 0 && options.rounds > 0;
}

// "VmHWM:  123456 kB" from /proc/self/status, in kB.
long PeakResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmHWM:")) {
      return std::atol(line.c_str() + 6);
    }
  }
  return -1;
}

void WriteRandomFile(const std::filesystem::path& path, std::size_t size) {
  std::mt19937 generator(7);
  std::ofstream out(path, std::ios::binary);
  std::string chunk(std::size_t{64} * 1024, '\0');
  for (std::size_t written = 0; written < size; written += chunk.size()) {
    for (char& c : chunk) {
      c = static_cast<char>(generator());
    }
    out.write(chunk.data(), static_cast<std::streamsize>(std::min(chunk.size(), size - written)));
  }
}

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The size of a mail on the wire: the body, the header, and the attachment
// in base64 lines of 76 characters.
std::size_t WireSize(std::size_t attachment) {
  const std::size_t encoded = (attachment + 2) / 3 * 4;
  return kHeaderSize + kBodySize + encoded + (encoded + 75) / 76 * 2;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct Rate {
  double mailsPerSecond = 0;
  double cpuMsPerMail = 0;
};

// What smtp-source pushes into the same server over one session, mails of
// `size` octets; zero when it cannot run.
double SourceMailsPerSecond(const Options& options, std::size_t size) {
  if (!std::filesystem::exists(options.source)) {
    return 0;
  }
  const std::vector<std::string> arguments = {options.source,
                                              "-d",
                                              "-s",
                                              "1",
                                              "-m",
                                              std::to_string(options.mails),
                                              "-l",
                                              std::to_string(size),
                                              options.host + ":" + std::to_string(options.port)};
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
    return 0;
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? options.mails / seconds : 0;
}

Rate MailsPerSecond(const Options& options, bool reuse, const std::string& attachment) {
  ConnectionSettings settings;
  settings.port = options.port;
  settings.security = quillpost::smtp::Security::None;
  settings.ehloName = "bench.test";
  settings.idleSessionTimeout = std::chrono::seconds(reuse ? 30 : 0);
  settings.attachments.maxTotalSize = std::uint64_t{1} << 32;
  const std::string body(kBodySize, 'b');
  const double cpuBefore = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < options.mails; ++i) {
    OutgoingMail mail;
    mail.SetServer(options.host);
    mail.SetConnectionSettings(settings);
    mail.SetSenderAddress("bench@example.com");
    mail.SetSenderName("Bench");
    mail.AddRecipient("sink@example.com");
    mail.SetSubject("Benchmark " + std::to_string(i));
    mail.SetBody(body);
    if (!attachment.empty()) {
      mail.AddAttachment(attachment);
    }
    mail.SetMailerIdentification("KVR Quillpost v1.0");
    mail.Send();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  quillpost::smtp::SessionCache::Process().CloseAll();
  return {options.mails / seconds, (CpuSeconds() - cpuBefore) * 1000 / options.mails};
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!Parse(argc, argv, options)) {
    Usage(stderr);
    return 2;
  }
  const std::filesystem::path attachment =
      std::filesystem::temp_directory_path() / ("smtp_bench_" + std::to_string(::getpid()));
  const std::size_t megabyte = std::size_t{1024} * 1024;
  const std::size_t attachmentSize =
      megabyte * static_cast<std::size_t>(std::max(1, options.peakAttachmentMb));
  WriteRandomFile(attachment, attachmentSize);
  int status = 0;
  try {
    if (options.peakAttachmentMb > 0) {
      Options once = options;
      once.mails = 1;
      const long before = PeakResidentKb();
      MailsPerSecond(once, false, attachment.string());
      const long after = PeakResidentKb();
      std::printf(
          "peak resident size: %ld kB before the mail, %ld kB after one mail with a %d MB "
          "attachment: %.2f times its size above the idle figure\n",
          before, after, options.peakAttachmentMb,
          static_cast<double>(after - before) * 1024 / static_cast<double>(attachmentSize));
      std::filesystem::remove(attachment);
      return 0;
    }
    std::printf("%-40s %10s %12s %18s %7s\n", "scenario", "mails/s", "CPU ms/mail",
                "smtp-source mails/s", "share");
    for (const bool withAttachment : {false, true}) {
      for (const bool reuse : {true, false}) {
        // smtp-source and this process take turns, so that both see the
        // same machine; the medians of the rounds are printed.
        std::vector<double> rates;
        std::vector<double> cpu;
        std::vector<double> sources;
        for (int round = 0; round < options.rounds; ++round) {
          sources.push_back(
              SourceMailsPerSecond(options, WireSize(withAttachment ? attachmentSize : 0)));
          const Rate rate =
              MailsPerSecond(options, reuse, withAttachment ? attachment.string() : std::string());
          rates.push_back(rate.mailsPerSecond);
          cpu.push_back(rate.cpuMsPerMail);
        }
        const double source = Median(sources);
        std::printf("%-40s %10.1f %12.3f %18.1f %6.0f%%\n",
                    (std::string(withAttachment ? "1 MB attachment, " : "2 KB body, ") +
                     (reuse ? "reused session" : "new connection per mail"))
                        .c_str(),
                    Median(rates), Median(cpu), source,
                    source > 0 ? 100 * Median(rates) / source : 0.0);
      }
    }
  } catch (const SendFailure& failure) {
    std::fprintf(stderr, "smtp_bench: send failed (%d): %s\n", failure.Number(), failure.what());
    status = 1;
  }
  std::filesystem::remove(attachment);
  return status;
}
