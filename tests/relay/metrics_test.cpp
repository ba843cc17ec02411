// /metrics of the real relay, scraped with curl after a few mails, and
// checked with promtool where it is installed.

#include <regex>

#include "end_to_end_support.h"

namespace quillpost::relay::testing {
namespace {

std::string Scrape(const std::string& url) {
  std::string output;
  EXPECT_EQ(RunProgram({"/usr/bin/curl", "-sS", "--max-time", "10", url}, &output), 0) << output;
  return output;
}

bool Has(const std::string& text, const std::string& pattern) {
  return std::regex_search(text, std::regex(pattern, std::regex::multiline));
}

TEST_F(EndToEndTest, MetricsCountMailsAndQueuesForAScrape) {
  peer::SmtpPeerOptions options;
  options.refuseRecipient["carl@example.org"] = 450;
  peer::SmtpPeer smtp(options);
  const std::string address = "127.0.0.1:" + std::to_string(FreePort());
  const std::string url = "http://" + address + "/metrics";
  auto relay = StartRelay(smtp.Port(), {"--metrics-listen", address, "--retry-interval", "60"});
  // Without a window, one line on standard error says where it all is.
  const std::string startupLine = "quillpost-smtp: relaying from store " + store.string() +
                                  " to 127.0.0.1:" + std::to_string(smtp.Port()) + "; log " +
                                  logFile.string() + "; metrics " + url + "; Ctrl-C stops it\n";
  EXPECT_TRUE(WaitFor([&] { return relay->ErrorOutput().find(startupLine) != std::string::npos; }))
      << relay->ErrorOutput();
  ASSERT_EQ(Submit("One"), "OK");
  ASSERT_EQ(Submit("Two"), "OK");
  Submission refused;
  refused.Initialise();
  refused.SetFrom("ann@example.org", "Ann Lee");
  refused.AddRecipient("carl@example.org");
  refused.SetSubject("Three");
  refused.SetBody("Refused for now");
  ASSERT_EQ(std::string(refused.Send("kvr_mailer")), "OK");

  std::string text;
  EXPECT_TRUE(WaitFor([&] {
    text = Scrape(url);
    // The queue gauges may lag the counters by the second they are kept for.
    return Has(text, "^quillpost_mails_sent_total 2$") &&
           Has(text, "^quillpost_mails_deferred_total 1$") &&
           Has(text, R"(^quillpost_queue_waiting_requests\{queue="retry_b"\} 1$)");
  })) << text;
  EXPECT_TRUE(Has(text, "^quillpost_mails_dead_lettered_total 0$")) << text;
  EXPECT_TRUE(Has(text, R"(^quillpost_send_failures_total\{number="40"\} 1$)")) << text;
  EXPECT_TRUE(Has(text, "^quillpost_delivery_seconds_count 2$")) << text;
  // First tries to a local peer, counted from their arrival in the store: a
  // few seconds at most, even on a loaded machine.
  EXPECT_TRUE(Has(text, R"(^quillpost_delivery_seconds_bucket\{le="5"\} 2$)")) << text;
  // The refused request waits on retry queue B for its next try.
  EXPECT_TRUE(Has(text, R"(^quillpost_queue_waiting_requests\{queue="inbound"\} 0$)")) << text;
  EXPECT_TRUE(Has(text, R"(^quillpost_oldest_waiting_request_age_seconds [0-9.e-]+$)")) << text;

  std::string output;
  EXPECT_EQ(RunProgram({"/usr/bin/curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                        "http://" + address + "/"},
                       &output),
            0);
  EXPECT_EQ(output, "404");
  if (RunProgram({"/bin/sh", "-c", "command -v promtool"}) == 0) {
    EXPECT_EQ(
        RunProgram({"/bin/sh", "-c", "curl -sS '" + url + "' | promtool check metrics"}, &output),
        0)
        << output;
  } else {
    std::fprintf(stderr, "promtool is not installed: the format is not checked\n");
  }
}

TEST_F(EndToEndTest, MetricsAddressThatCannotBeServedIsABadSetting) {
  peer::SmtpPeer smtp;
  const std::vector<std::pair<std::string, std::string>> environment = {
      {"XDG_CONFIG_HOME", scratch.Path().string()}, {"DISPLAY", ""}};
  for (const std::string& address :
       {std::string("localhost:9465"), "127.0.0.1:" + std::to_string(smtp.Port())}) {
    std::string output;
    EXPECT_EQ(RunProgram({QUILLPOST_SMTP_PROGRAM, "--headless", "--metrics-listen", address,
                          "--log-file", logFile.string()},
                         &output, environment),
              2)
        << address;
    EXPECT_NE(output.find(address), std::string::npos) << output;
  }
}

}  // namespace
}  // namespace quillpost::relay::testing
