// Two relays on one store, their retryswap timers out of step, and a server
// that refuses every mail: each try of a request still comes at least one
// retry interval after the one before, whichever relay makes it.

#include <chrono>
#include <thread>

#include "end_to_end_support.h"

namespace quillpost::relay::testing {
namespace {

TEST_F(EndToEndTest, TriesOfARequestStayOneIntervalApartWithTwoRelays) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kInterval = std::chrono::milliseconds(500);
  peer::SmtpPeerOptions refusing;
  refusing.refuse["mail"] = 550;
  peer::SmtpPeer smtp(refusing);
  const std::vector<std::string> options = {"--retry-interval", "0.5", "--smtp-idle-timeout", "0"};
  auto first = StartRelay(smtp.Port(), options, "first");
  std::this_thread::sleep_for(kInterval / 2);
  auto second = StartRelay(smtp.Port(), options, "second");

  ASSERT_EQ(Submit("Spaced"), "OK");
  std::vector<Clock::time_point> tries;
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (tries.size() < 4 && Clock::now() < deadline) {
    std::size_t mails = 0;
    for (const std::string& command : smtp.Commands()) {
      mails += command.find("MAIL FROM:") != std::string::npos ? 1 : 0;
    }
    while (tries.size() < mails) {
      tries.push_back(Clock::now());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(tries.size(), 4U) << first->ErrorOutput() << second->ErrorOutput();
  auto shortest = Clock::duration::max();
  for (std::size_t i = 1; i < tries.size(); ++i) {
    shortest = std::min(shortest, tries[i] - tries[i - 1]);
  }
  const auto shortestMs = std::chrono::duration_cast<std::chrono::milliseconds>(shortest);
  std::printf("shortest gap between tries: %lld ms (interval %lld ms)\n",
              static_cast<long long>(shortestMs.count()),
              static_cast<long long>(kInterval.count()));
  // The tries are seen by polling every few milliseconds.
  EXPECT_GE(shortestMs, kInterval - std::chrono::milliseconds(30));
  EXPECT_TRUE(WaitFor([&] { return queue::PeekQueue("kvr_mailer_dead", false).size() == 1; }));
}

}  // namespace
}  // namespace quillpost::relay::testing
