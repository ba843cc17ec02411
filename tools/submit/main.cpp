// quillpost-submit: builds one mail request from its options and sends it.

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "quillpost/submission.h"
#include "quillpost_version.h"
#include "submit_body.h"
#include "submit_options.h"

namespace {

using quillpost::submit::SubmitOptions;
using quillpost::submit::UsageError;

constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;

int UsageFailure(const std::string& message) {
  std::cerr << "quillpost-submit: " << message << "\n"
            << "Try 'quillpost-submit --help' for more information.\n";
  return kExitUsage;
}

void WarnIfRelative(const std::string& path) {
  if (!std::filesystem::path(path).is_absolute()) {
    std::cerr << "quillpost-submit: warning: attachment '" << path
              << "' is a relative path; the relay resolves it from its own working directory\n";
  }
}

void Build(quillpost::Submission& mail, const SubmitOptions& options,
           const std::optional<std::string>& body) {
  mail.Initialise();
  if (options.from) {
    mail.SetFrom(*options.from, options.name);
  }
  for (const std::string& recipient : options.recipients) {
    mail.AddRecipient(recipient);
  }
  if (options.subject) {
    mail.SetSubject(*options.subject);
  }
  if (body) {
    mail.SetBody(*body);
  }
  for (const std::string& path : options.attachments) {
    WarnIfRelative(path);
    mail.AddAttachment(path);
  }
}

int Run(const std::vector<std::string>& arguments) {
  SubmitOptions options;
  std::optional<std::string> body;
  try {
    options = quillpost::submit::ParseOptions(arguments);
    if (options.help) {
      std::cout << quillpost::submit::HelpText();
      return kExitOk;
    }
    body = quillpost::submit::ReadBody(options);
  } catch (const UsageError& error) {
    return UsageFailure(error.what());
  }

  quillpost::Submission mail;
  try {
    Build(mail, options, body);
  } catch (const quillpost::SubmissionError& error) {
    return UsageFailure(error.what());
  }

  if (options.print) {
    std::cout << mail.DocumentText() << '\n' << std::flush;
    if (!std::cout) {
      std::cerr << "quillpost-submit: cannot write to standard output\n";
      return kExitRefused;
    }
    return kExitOk;
  }

  const std::string_view answer = mail.Send(options.queue);
  std::cout << answer << '\n' << std::flush;
  if (answer == quillpost::kAnswerInternalError) {
    // The answer is the library's; what lies behind it goes to the person.
    std::cerr << "quillpost-submit: " << mail.LastSendFailure() << '\n';
  }
  return answer == quillpost::kAnswerOk ? kExitOk : kExitRefused;
}

}  // namespace

int main(int argc, char** argv) {
  if (quillpost::AsksForVersion(argc, argv)) {
    return quillpost::PrintVersion("quillpost-submit");
  }
  try {
    return Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& error) {
    std::cerr << "quillpost-submit: " << error.what() << '\n';
    return kExitRefused;
  }
}
