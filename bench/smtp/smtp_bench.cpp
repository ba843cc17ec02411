// Mails per second to a local SMTP server: one kept session for all mails
// versus a new connection per mail, with a 2 KB body and with a 1 MB
// attachment. Run it through run_smtp_bench.sh, which starts a server.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

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
};

void Usage(std::FILE* out) {
  std::fprintf(out,
               "usage: smtp_bench --port PORT [--host HOST] [--mails N] [--peak-attachment MB]\n"
               "Sends N mails (default 200) per scenario to the SMTP server at HOST:PORT\n"
               "(default host 127.0.0.1) and prints mails per second. With --peak-attachment\n"
               "it sends one mail with an attachment of MB megabytes instead and prints the\n"
               "process's peak resident size.\n");
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
    } else {
      return false;
    }
  }
  return options.port > 0 && options.mails > 0;
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

double MailsPerSecond(const Options& options, bool reuse, const std::string& attachment) {
  ConnectionSettings settings;
  settings.port = options.port;
  settings.security = quillpost::smtp::Security::None;
  settings.ehloName = "bench.test";
  settings.idleSessionTimeout = std::chrono::seconds(reuse ? 30 : 0);
  const std::string body(2048, 'b');
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
  return options.mails / seconds;
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
  WriteRandomFile(attachment,
                  megabyte * static_cast<std::size_t>(std::max(1, options.peakAttachmentMb)));
  int status = 0;
  try {
    if (options.peakAttachmentMb > 0) {
      Options once = options;
      once.mails = 1;
      const long before = PeakResidentKb();
      MailsPerSecond(once, false, attachment.string());
      std::printf(
          "peak resident size: %ld kB before the mail, %ld kB after one mail with a %d MB "
          "attachment\n",
          before, PeakResidentKb(), options.peakAttachmentMb);
      std::filesystem::remove(attachment);
      return 0;
    }
    std::printf("%-40s %12s\n", "scenario", "mails/s");
    for (const bool withAttachment : {false, true}) {
      for (const bool reuse : {true, false}) {
        const double rate =
            MailsPerSecond(options, reuse, withAttachment ? attachment.string() : std::string());
        std::printf("%-40s %12.1f\n",
                    (std::string(withAttachment ? "1 MB attachment, " : "2 KB body, ") +
                     (reuse ? "reused session" : "new connection per mail"))
                        .c_str(),
                    rate);
      }
    }
  } catch (const SendFailure& failure) {
    std::fprintf(stderr, "smtp_bench: send failed (%d): %s\n", failure.Number(), failure.what());
    status = 1;
  }
  std::filesystem::remove(attachment);
  return status;
}
