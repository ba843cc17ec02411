// quillpost-sendmail: the sendmail command line programs expect, putting each
// message on the relay's inbound queue to be sent as it is.

#include <pwd.h>
#include <sysexits.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "quillpost/submission.h"
#include "quillpost_version.h"
#include "sendmail_config.h"
#include "sendmail_message.h"
#include "sendmail_options.h"

namespace {

using namespace quillpost::sendmail;

int Fail(int code, const std::string& message) {
  std::cerr << "quillpost-sendmail: " << message << '\n';
  return code;
}

LocalIdentity WhoRunsThis() {
  LocalIdentity identity;
  if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_name != nullptr) {
    identity.login = entry->pw_name;
  } else {
    identity.login = std::to_string(::getuid());
  }
  std::array<char, 256> host{};
  identity.host = ::gethostname(host.data(), host.size() - 1) == 0 && host[0] != '\0' ? host.data()
                                                                                      : "localhost";
  return identity;
}

// The queue the relay listens on: $QUILLPOST_SENDMAIL_QUEUE, else its
// inbound queue in the default store.
std::string InboundQueue() {
  const char* name = std::getenv("QUILLPOST_SENDMAIL_QUEUE");
  return name != nullptr && *name != '\0' ? name : std::string(quillpost::kInboundQueueName);
}

// What is waiting, as mailq lists it: quillpost-queue mailq, the one
// installed next to this program first, then the one on PATH. Its store is
// the one of the queue mail goes to.
int ListQueue() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  std::string program = "quillpost-queue";
  if (!error && ::access((self.parent_path() / program).c_str(), X_OK) == 0) {
    program = (self.parent_path() / program).string();
  }
  std::vector<std::string> arguments{program};
  // Through the environment: a broker's address may hold its password.
  if (const std::string queue = InboundQueue(); queue.find("://") != std::string::npos) {
    ::setenv("QUILLPOST_QUEUE_STORE", queue.substr(0, queue.rfind('/')).c_str(), 1);
  } else {
    ::unsetenv("QUILLPOST_QUEUE_STORE");
  }
  arguments.emplace_back("mailq");
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (std::string& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  ::execvp(program.c_str(), argv.data());
  return Fail(EX_UNAVAILABLE, "cannot run quillpost-queue: " + std::string(std::strerror(errno)));
}

int Deliver(const SendmailOptions& options) {
  SendmailConfig config;
  try {
    config = ReadConfig(ConfigPath(), quillpost::kMaxMessageSizeLimit);
  } catch (const std::exception& error) {
    return Fail(EX_CONFIG, error.what());
  }
  std::string given;
  try {
    given = ReadMessage(stdin, options.dotEndsInput);
  } catch (const std::exception& error) {
    return Fail(EX_IOERR, error.what());
  }
  if (given.empty()) {
    return Fail(EX_DATAERR, "no message on standard input");
  }
  const Delivery delivery = PlanDelivery(options, std::move(given), WhoRunsThis());
  if (delivery.recipients.size() > static_cast<std::size_t>(quillpost::kMaxRecipients)) {
    return Fail(EX_DATAERR, "too many recipients: " + std::to_string(delivery.recipients.size()) +
                                ", a mail can have at most " +
                                std::to_string(quillpost::kMaxRecipients));
  }

  quillpost::Submission mail;
  try {
    mail.SetMaxMessageSize(config.maxMessageSize.value_or(quillpost::kDefaultMaxMessageSize));
    mail.Initialise();
    mail.SetFrom(delivery.sender, delivery.senderName);
    for (const std::string& recipient : delivery.recipients) {
      mail.AddRecipient(recipient);
    }
    mail.SetMessage(delivery.message);
  } catch (const quillpost::SubmissionError& error) {
    using Code = quillpost::SubmissionError::Code;
    if (error.ErrorCode() == Code::TooLarge) {
      return Fail(EX_DATAERR, "the message is too large (max_message_size in " + ConfigPath() +
                                  "): " + error.what());
    }
    const bool data =
        error.ErrorCode() == Code::InvalidValue || error.ErrorCode() == Code::TooManyRecipients;
    return Fail(data ? EX_DATAERR : EX_SOFTWARE, error.what());
  }
  const std::string queue = InboundQueue();
  const std::size_t size = mail.DocumentText().size();
  if (const std::size_t limit = quillpost::Submission::MaxDocumentBytesFor(queue); size > limit) {
    return Fail(EX_DATAERR, "the message is too large for its queue: it takes " +
                                std::to_string(size) + " bytes there, the limit is " +
                                std::to_string(limit) +
                                (limit < quillpost::kMaxDocumentBytes ? " on a broker" : ""));
  }
  const std::string_view answer = mail.Send(queue);
  if (answer != quillpost::kAnswerOk) {
    return Fail(EX_TEMPFAIL, "cannot put the mail on the queue " + queue + ": " +
                                 std::string(answer) + " (see the system log)");
  }
  return EX_OK;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const SendmailOptions options = ParseOptions(argc > 0 ? argv[0] : "quillpost-sendmail",
                                                 std::vector<std::string>(argv + 1, argv + argc));
    if (options.mode == Mode::Help) {
      std::cout << kHelp;
      return EX_OK;
    }
    if (options.mode == Mode::Version) {
      return quillpost::PrintVersion("quillpost-sendmail");
    }
    if (options.mode == Mode::ListQueue) {
      return ListQueue();
    }
    return Deliver(options);
  } catch (const UsageError& error) {
    std::cerr << "quillpost-sendmail: " << error.what() << '\n' << kUsage << '\n';
    return EX_USAGE;
  } catch (const MessageError& error) {
    return Fail(EX_DATAERR, error.what());
  } catch (const std::exception& error) {
    return Fail(EX_SOFTWARE, error.what());
  }
}
