// The broker restarts while mail streams through it: every request whose
// Send answered "OK" (the broker confirmed it) is delivered, and the relay
// reconnects by itself.

#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

#include "broker_end_to_end.h"

namespace quillpost::relay::testing {
namespace {

// Runs rabbitmqctl on the test broker (started by scripts/broker-start.sh).
int BrokerControl(const std::string& command) {
  const char* folder = std::getenv("QUILLPOST_TEST_BROKER_DIR");
  if (folder == nullptr) {
    return -1;
  }
  std::string output;
  const int status = RunProgram(
      {"/bin/bash", "-c",
       ". \"$0/broker.env\" && exec /usr/lib/rabbitmq/bin/rabbitmqctl -n \"$RABBITMQ_NODENAME\" "
       "-t 60 " +
           command,
       folder},
      &output);
  if (status != 0) {
    std::printf("rabbitmqctl %s: %s\n", command.c_str(), output.c_str());
  }
  return status;
}

TEST_F(BrokerEndToEnd, NothingConfirmedIsLostWhenTheBrokerRestarts) {
  const char* folder = std::getenv("QUILLPOST_TEST_BROKER_DIR");
  if (folder == nullptr) {
    GTEST_SKIP() << "QUILLPOST_TEST_BROKER_DIR is not set: the broker cannot be restarted";
  }
  if (std::filesystem::exists(std::string(folder) + "/nodes")) {
    GTEST_SKIP() << "the test broker is a cluster: broker_cluster_test stops one of its nodes";
  }
  constexpr int kAfterRestart = 40;
  peer::SmtpPeer smtp;
  // One mail at a time: at most one is in hand when the broker goes away.
  StartRelay(smtp.Port(), "relay", {"--retry-interval", "1", "--max-parallel-deliveries", "1"});

  std::atomic<bool> restarted{false};
  std::set<std::string> confirmed;
  int refused = 0;
  std::thread submitter([&] {
    int number = 0;
    for (int after = 0; after < kAfterRestart; ++number) {
      const std::string subject = SubjectOf(number);
      if (Submit(subject) == "OK") {
        confirmed.insert(subject);
      } else {
        ++refused;
      }
      after += restarted ? 1 : 0;
      std::this_thread::sleep_for(10ms);
    }
  });
  ASSERT_TRUE(WaitFor([&] { return smtp.Messages().size() >= 20; }, 60s));
  ASSERT_EQ(BrokerControl("stop_app"), 0);
  std::this_thread::sleep_for(1s);
  ASSERT_EQ(BrokerControl("start_app"), 0);
  restarted = true;
  submitter.join();

  ASSERT_TRUE(WaitFor(
      [&] {
        const auto subjects = Subjects(smtp);
        for (const std::string& subject : confirmed) {
          if (subjects.count(subject) == 0) {
            return false;
          }
        }
        return true;
      },
      90s))
      << "delivered " << Subjects(smtp).size() << " of " << confirmed.size() << " confirmed";
  // The mail in hand when the broker went away may go out twice.
  EXPECT_LE(Duplicates(Subjects(smtp)), 2);
  EXPECT_TRUE(relays_.back()->Running());
  std::printf("confirmed %zu, refused while the broker was away %d\n", confirmed.size(), refused);
}

}  // namespace
}  // namespace quillpost::relay::testing
