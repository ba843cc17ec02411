#pragma once

// The pieces of an end-to-end run: a store, the real relay, the SMTP test peer
// and the submission library.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "queue/admin/queue_admin.h"
#include "queue/queue.h"
#include "quillpost/submission.h"
#include "relay_process.h"
#include "smtp_peer.h"

namespace quillpost::relay::testing {

inline const std::string kStarted = "Server Initialised & Listening";
inline const std::string kTerminated = "Server Terminated";

class EndToEndTest : public ::testing::Test {
 protected:
  // Starts a relay and waits for its start-up log line.
  std::unique_ptr<RelayProcess> StartRelay(int port, std::vector<std::string> arguments = {},
                                           const std::string& name = "relay") {
    const auto before = CountLog(kStarted);
    arguments.insert(arguments.end(), {"--smtp-server", "127.0.0.1", "--smtp-port",
                                       std::to_string(port), "--smtp-security", "none"});
    auto relay =
        std::make_unique<RelayProcess>(scratch.Path(), store, logFile, std::move(arguments), name);
    EXPECT_TRUE(WaitFor([&] { return CountLog(kStarted) > before; })) << relay->ErrorOutput();
    return relay;
  }

  std::size_t CountLog(const std::string& message) const {
    const auto entries = ReadLog(logFile);
    return std::count_if(entries.begin(), entries.end(),
                         [&](const auto& entry) { return entry.first == message; });
  }

  // Submits a request through the library; returns the answer.
  static std::string Submit(const std::string& subject, const std::string& attachment = {}) {
    Submission submission;
    submission.Initialise();
    submission.SetFrom("ann@example.org", "Ann Lee");
    submission.AddRecipient("bob@example.org");
    submission.SetSubject(subject);
    submission.SetBody("Hello from " + subject);
    if (!attachment.empty()) {
      submission.AddAttachment(attachment);
    }
    return std::string(submission.Send("kvr_mailer"));
  }

  static void Put(const std::string& queueName, const std::string& label, const std::string& body) {
    queue::QueuePath(queueName).Open(queue::Access::Send)->Send({label, body, 7});
  }

  ScratchFolder scratch;
  std::filesystem::path store = scratch.Path() / "store";
  std::filesystem::path logFile = scratch.Path() / "relay.log";
  StoreEnvironment environment{store};
};

}  // namespace quillpost::relay::testing
