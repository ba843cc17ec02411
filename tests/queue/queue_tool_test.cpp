#include "queue_tool.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "queue/queue.h"
#include "queue_test_support.h"

namespace quillpost::queue {
namespace {

using testing::TempStore;

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome Tool(const std::vector<std::string>& arguments) {
  std::ostringstream out;
  std::ostringstream err;
  const int status = RunQueueTool(arguments, out, err);
  return {status, out.str(), err.str()};
}

TEST(QueueTool, WrongCommandLinesAreUsageErrors) {
  EXPECT_EQ(Tool({"--help"}).status, 0);
  EXPECT_NE(Tool({"--help"}).out.find("move FROM TO"), std::string::npos);
  for (const auto& line : std::vector<std::vector<std::string>>{{},
                                                                {"frobnicate"},
                                                                {"peek"},
                                                                {"move", "a"},
                                                                {"peek", "--limit", "x", "q"},
                                                                {"list", "--bodies"},
                                                                {"--store"},
                                                                {"list", "--password=secret"}}) {
    const Outcome outcome = Tool(line);
    EXPECT_EQ(outcome.status, 2) << (line.empty() ? "" : line[0]);
    EXPECT_NE(outcome.err.find("--help"), std::string::npos);
    EXPECT_EQ(outcome.err.find("secret"), std::string::npos) << outcome.err;
  }
}

TEST(QueueTool, ReinjectsFailedMailIntoAnotherQueue) {
  TempStore store;
  const std::string& s = store.Folder();
  ASSERT_EQ(Tool({"--store", s, "create", "kvr_mailer", "dead"}).status, 0);
  {
    auto queue = QueuePath(store.Path("dead")).Open(Access::Send);
    queue->Send({"Quillpost-Retry:0", "<doc/>", 7});
    queue->Send({"Quillpost-Retry:0", "<doc2/>", 7});
  }
  const Outcome peek = Tool({"--store", s, "peek", "--bodies", "--limit", "1", "dead"});
  EXPECT_EQ(peek.status, 0);
  EXPECT_NE(peek.out.find("Quillpost-Retry:0"), std::string::npos);
  EXPECT_NE(peek.out.find("<doc/>"), std::string::npos);
  EXPECT_EQ(peek.out.find("<doc2/>"), std::string::npos);

  EXPECT_EQ(Tool({"--store", s, "move", "dead", "kvr_mailer"}).out, "moved 2 messages\n");
  const Outcome list = Tool({"--store", s, "list"});
  EXPECT_NE(list.out.find("kvr_mailer                               2         0"),
            std::string::npos)
      << list.out;
  EXPECT_EQ(Tool({"purge", store.Path("kvr_mailer")}).out, "removed 2 waiting messages\n");
  EXPECT_EQ(Tool({"--store", s, "delete", "dead"}).status, 0);

  const Outcome missing = Tool({"--store", s, "peek", "dead"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(missing.out.empty());
  EXPECT_NE(missing.err.find("no queue 'dead'"), std::string::npos);
}

TEST(QueueTool, WorksOnBrokerQueuesWithoutShowingCredentials) {
  const char* broker = std::getenv("QUILLPOST_TEST_AMQP");
  if (broker == nullptr || *broker == '\0') {
    GTEST_SKIP() << "QUILLPOST_TEST_AMQP is not set: no test broker";
  }
  if (const char* management = std::getenv("QUILLPOST_TEST_AMQP_MANAGEMENT")) {
    ::setenv("QUILLPOST_AMQP_MANAGEMENT", management, 1);
  }
  const std::string store = broker;
  const std::string dead = "tool" + std::to_string(::getpid()) + "-dead";
  const std::string inbound = "tool" + std::to_string(::getpid()) + "-in";
  const Outcome created = Tool({"--store", store, "create", dead, inbound});
  ASSERT_EQ(created.status, 0) << created.err;
  EXPECT_EQ(created.out.find("guest"), std::string::npos) << created.out;
  {
    auto queue = QueuePath(store + "/" + dead).Open(Access::Send);
    queue->Send({"Quillpost-Retry:0", "<doc/>", 7});
    queue->Send({"Quillpost-Retry:0", "<doc2/>", 7});
  }
  const Outcome peek = Tool({"--store", store, "peek", "--bodies", "--limit", "1", dead});
  EXPECT_NE(peek.out.find("<doc/>"), std::string::npos) << peek.out;
  EXPECT_EQ(peek.out.find("<doc2/>"), std::string::npos) << peek.out;
  EXPECT_EQ(Tool({"--store", store, "move", dead, inbound}).out, "moved 2 messages\n");
  const Outcome list = Tool({"--store", store, "list"});
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find(inbound + std::string(32 - inbound.size(), ' ') + "         2"),
            std::string::npos)
      << list.out;
  EXPECT_EQ(Tool({"purge", store + "/" + inbound}).out, "removed 2 waiting messages\n");
  const Outcome deleted = Tool({"--store", store, "delete", dead, inbound});
  EXPECT_EQ(deleted.status, 0);
  EXPECT_EQ(deleted.out.find("guest"), std::string::npos) << deleted.out;

  const Outcome missing = Tool({"--store", store, "peek", dead});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("no queue"), std::string::npos) << missing.err;
  EXPECT_EQ(missing.err.find("guest"), std::string::npos) << missing.err;
}

// Whoever can write to a queue chooses its labels and bodies: line breaks must
// not forge table rows, nor escape sequences reach the terminal.
TEST(QueueTool, PeekShowsLabelsAndBodiesEscaped) {
  TempStore store;
  ASSERT_EQ(Tool({"--store", store.Folder(), "create", "q"}).status, 0);
  QueuePath(store.Path("q"))
      .Open(Access::Send)
      ->Send({"x\r\n     2    7        10  waiting  forged\x1B]0;t\x07",
              "<a>\n\x1B[2J\xC2\x9B\xFF</a>", 3});
  const Outcome peek = Tool({"--store", store.Folder(), "peek", "--bodies", "q"});
  EXPECT_EQ(peek.out.substr(peek.out.find('\n') + 1),
            "     1    3        15  waiting  x\\r\\n     2    7        10  waiting  "
            "forged\\x1B]0;t\\x07\n<a>\\n\\x1B[2J\\xC2\\x9B\\xFF</a>\n\n");
}

}  // namespace
}  // namespace quillpost::queue
