#pragma once

// The real relay on queues of the test broker ($QUILLPOST_TEST_AMQP): queue
// names of the test's own, the SMTP test peer, and the submission library.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "queue/admin/queue_admin.h"
#include "queue/queue.h"
#include "queue_test_support.h"
#include "quillpost/submission.h"
#include "relay_process.h"
#include "smtp_peer.h"

namespace quillpost::relay::testing {

inline const std::string kStarted = "Server Initialised & Listening";

class BrokerEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* broker = std::getenv("QUILLPOST_TEST_AMQP");
    if (broker == nullptr || *broker == '\0') {
      GTEST_SKIP() << "QUILLPOST_TEST_AMQP is not set: no test broker";
    }
    static std::atomic<int> runs{0};
    const std::string prefix =
        std::string(broker) + "/e2e" + std::to_string(::getpid()) + "-" + std::to_string(++runs);
    inbound_ = prefix + "-kvr_mailer";
    retryA_ = prefix + "-kvr_mailer_rA";
    retryB_ = prefix + "-kvr_mailer_rB";
    dead_ = prefix + "-kvr_mailer_dead";
    for (const std::string* queue : {&inbound_, &retryA_, &retryB_, &dead_}) {
      queue::CreateQueue(*queue, queue::StoreAccess::Owner, queue::testing::TestQueueType());
    }
  }
  void TearDown() override {
    relays_.clear();
    for (const std::string* queue : {&inbound_, &retryA_, &retryB_, &dead_}) {
      try {
        queue::DeleteQueue(*queue);
      } catch (const queue::QueueError&) {
      }
    }
  }

  // Starts a relay on the broker's queues and waits for its start-up line.
  RelayProcess& StartRelay(int smtpPort, const std::string& name,
                           std::vector<std::string> more = {}) {
    const auto before = CountLog(kStarted);
    std::vector<std::string> arguments{
        "--inbound-queue", inbound_,    "--retry-queue-a",     retryA_,
        "--retry-queue-b", retryB_,     "--dead-letter-queue", dead_,
        "--smtp-server",   "127.0.0.1", "--smtp-port",         std::to_string(smtpPort),
        "--smtp-security", "none"};
    arguments.insert(arguments.end(), more.begin(), more.end());
    relays_.push_back(std::make_unique<RelayProcess>(scratch_.Path(), scratch_.Path() / "store",
                                                     logFile_, arguments, name));
    EXPECT_TRUE(WaitFor([&] { return CountLog(kStarted) > before; }))
        << relays_.back()->ErrorOutput();
    return *relays_.back();
  }

  std::size_t CountLog(const std::string& message) const {
    std::size_t count = 0;
    for (const auto& entry : ReadLog(logFile_)) {
      count += entry.first == message ? 1 : 0;
    }
    return count;
  }

  std::string Submit(const std::string& subject) const { return SubmitTo(inbound_, subject); }

  // failure: where the library's reason for a refusal goes.
  std::string SubmitTo(const std::string& queue, const std::string& subject,
                       std::string* failure = nullptr) const {
    Submission submission;
    submission.Initialise();
    submission.SetFrom("ann@example.org", "Ann Lee");
    submission.AddRecipient("bob@example.org");
    submission.SetSubject(subject);
    submission.SetBody("Hello from " + subject);
    std::string answer(submission.Send(queue));
    if (failure != nullptr) {
      *failure = submission.LastSendFailure();
    }
    return answer;
  }

  std::size_t Waiting(const std::string& queue) const {
    return queue::PeekQueue(queue, false).size();
  }

  ScratchFolder scratch_;
  std::filesystem::path logFile_ = scratch_.Path() / "relay.log";
  std::string inbound_;
  std::string retryA_;
  std::string retryB_;
  std::string dead_;
  std::vector<std::unique_ptr<RelayProcess>> relays_;
};

inline std::string SubjectOf(int number) {
  return "Mail " + std::to_string(number);
}

}  // namespace quillpost::relay::testing
