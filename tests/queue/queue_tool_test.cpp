#include "queue_tool.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
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
  std::vector<std::string> create{"--store", store, "create", dead, inbound};
  if (testing::TestQueueType() == QueueType::Quorum) {
    create.insert(create.begin() + 3, {"--type", "quorum"});
  }
  const Outcome created = Tool(create);
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
  // Ids stay through moves and find one message.
  const Outcome peeked = Tool({"--store", store, "peek", "--json", dead});
  ASSERT_EQ(peeked.status, 0) << peeked.err;
  const std::string id = nlohmann::json::parse(peeked.out)["messages"][0]["id"];
  EXPECT_EQ(id.size(), 24U);
  EXPECT_EQ(Tool({"--store", store, "move", dead, inbound}).out, "moved 2 messages\n");
  EXPECT_EQ(nlohmann::json::parse(Tool({"--store", store, "show", "--json", id}).out)["queue"],
            inbound);
  // Finding a message by its id takes the messages before it and gives them
  // back as the tool ends; a quorum queue has them back a moment later, so
  // the next command may not see them yet.
  const auto eventually = [&](const std::vector<std::string>& arguments) {
    for (int tries = 0;; ++tries) {
      const Outcome outcome = Tool(arguments);
      if (outcome.status == 0 || tries == 50) {
        return outcome.status;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  };
  EXPECT_EQ(eventually({"--store", store, "move", id, dead}), 0);
  EXPECT_EQ(eventually({"--store", store, "remove", id}), 0);
  EXPECT_EQ(Tool({"--store", store, "show", id}).status, 1);
  QueuePath(store + "/" + dead).Open(Access::Send)->Send({"Quillpost-Retry:0", "<doc/>", 7});
  EXPECT_EQ(Tool({"--store", store, "move", dead, inbound}).out, "moved 1 messages\n");
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

// A store written before ids: its numbers became ids, and the highest one,
// once removed, is never given again.
TEST(QueueTool, IdsOfAnOlderStoreStayAndAreNeverGivenTwice) {
  TempStore store;
  const std::string& s = store.Folder();
  std::filesystem::create_directories(s);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((s + "/queues.db").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(
      sqlite3_exec(
          db,
          "CREATE TABLE queues(id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT NOT NULL UNIQUE);"
          "CREATE TABLE messages(seq INTEGER PRIMARY KEY, queue INTEGER NOT NULL,"
          " priority INTEGER NOT NULL, label TEXT NOT NULL, body BLOB NOT NULL, holder TEXT,"
          " not_before INTEGER NOT NULL DEFAULT 0, last_failure TEXT NOT NULL DEFAULT '');"
          "INSERT INTO queues(name) VALUES ('q');"
          "INSERT INTO messages(seq, queue, priority, label, body) VALUES"
          " (1, 1, 7, 'one', 'a'), (2, 1, 7, 'two', 'b');"
          "PRAGMA application_id = 1364218195; PRAGMA user_version = 2;"
          "PRAGMA journal_mode = WAL;",
          nullptr, nullptr, nullptr),
      SQLITE_OK)
      << sqlite3_errmsg(db);
  sqlite3_close(db);

  EXPECT_EQ(Tool({"--store", s, "remove", "2"}).out, "removed message 2\n");
  QueuePath(store.Path("q")).Open(Access::Send)->Send({"three", "c", 7});
  const Outcome peek = Tool({"--store", s, "peek", "q"});
  EXPECT_NE(peek.out.find("     1    7         1  waiting  one\n"), std::string::npos) << peek.out;
  EXPECT_NE(peek.out.find("     3    7         1  waiting  three\n"), std::string::npos);
  const Outcome gone = Tool({"--store", s, "show", "2"});
  EXPECT_EQ(gone.status, 1);
  EXPECT_NE(gone.err.find("no message 2"), std::string::npos);
}

class QueueToolMessages : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Tool({"--store", s, "create", "kvr_mailer", "rB", "dead"}).status, 0);
    QueuePath(store.Path("kvr_mailer"))
        .Open(Access::Send)
        ->Send({"Quillpost-Inbound", kRequest, 7});
  }
  // What the relay does with a failed request: the same message, with a
  // retry label and its failure, on a retry queue.
  void FailOnce(const std::string& to) {
    auto message = QueuePath(store.Path("kvr_mailer"))
                       .Open(Access::Receive)
                       ->Receive(std::chrono::milliseconds(0));
    ASSERT_TRUE(message);
    Message next{"Quillpost-Retry:2", message->Body(), 7};
    next.notBefore = std::chrono::system_clock::now() + std::chrono::hours(1);
    next.lastFailure = "451 4.7.1 try later";
    message->FinishAndSend(store.Path(to), next);
  }

  static constexpr const char* kRequest =
      "<Quillpost-1.0><Routing><FROM>ann@example.org</FROM><FROM-NAME>Ann</FROM-NAME>"
      "<TO>bob@example.org</TO><TO>cy@example.org</TO></Routing><Message><SUBJECT>Hi</SUBJECT>"
      "<BODY>text</BODY></Message><Attachments><FILE>/tmp/a.pdf</FILE></Attachments>"
      "<Relay><QUEUE-ID>54C1D459A2BA8B0C</QUEUE-ID></Relay></Quillpost-1.0>";
  TempStore store;
  const std::string& s = store.Folder();
};

TEST_F(QueueToolMessages, ShowsOneMessageFollowingItThroughMoves) {
  const Outcome fresh = Tool({"--store", s, "show", "1"});
  EXPECT_EQ(fresh.status, 0) << fresh.err;
  EXPECT_NE(fresh.out.find("sender:       Ann <ann@example.org>\n"
                           "recipients:   bob@example.org, cy@example.org\n"
                           "subject:      Hi\n"
                           "attachments:  /tmp/a.pdf\n"),
            std::string::npos)
      << fresh.out;
  EXPECT_NE(fresh.out.find("last failure: —\n"), std::string::npos);

  FailOnce("rB");
  const nlohmann::json shown =
      nlohmann::json::parse(Tool({"--store", s, "show", "--json", "1"}).out);
  EXPECT_EQ(shown["id"], "1");
  EXPECT_EQ(shown["queue"], "rB");
  EXPECT_EQ(shown["tries_left"], 2);
  EXPECT_EQ(shown["last_failure"], "451 4.7.1 try later");
  EXPECT_TRUE(shown["next_try"].is_string());
  EXPECT_EQ(shown["recipients"], nlohmann::json::array({"bob@example.org", "cy@example.org"}));

  // Named as the relay's log names it: by the name the store gave it, never
  // by one its document claims, which another mail may copy.
  const std::string name = shown["relay_id"];
  EXPECT_EQ(name.size(), 16U);
  EXPECT_NE(name, "54C1D459A2BA8B0C");
  std::string copier = kRequest;
  copier.replace(copier.find("54C1D459A2BA8B0C"), 16, name);
  QueuePath(store.Path("kvr_mailer")).Open(Access::Send)->Send({"Quillpost-Inbound", copier, 7});
  EXPECT_EQ(Tool({"--store", s, "move", name, "dead"}).out, "moved message 1 to dead\n");
  EXPECT_EQ(nlohmann::json::parse(
                Tool({"--store", s, "peek", "--json", "dead"}).out)["messages"][0]["id"],
            "1");
  EXPECT_EQ(Tool({"--store", s, "retry", "1"}).status, 0);
  const nlohmann::json retried =
      nlohmann::json::parse(Tool({"--store", s, "show", "--json", "1"}).out);
  EXPECT_EQ(retried["queue"], "kvr_mailer");
  EXPECT_EQ(retried["label"], "Quillpost-Inbound");
  EXPECT_TRUE(retried["next_try"].is_null());
  EXPECT_EQ(Tool({"--store", s, "remove", "1"}).status, 0);
  EXPECT_EQ(Tool({"--store", s, "remove", "1"}).status, 1);
}

TEST_F(QueueToolMessages, MailqListsEveryMessageOrSaysTheQueueIsEmpty) {
  FailOnce("rB");
  const std::string out = Tool({"--store", s, "mailq"}).out;
  const std::string indent(42, ' ');
  const std::string size = std::to_string(std::string(kRequest).size());
  EXPECT_TRUE(
      out.starts_with("-Queue ID-  --Size-- ----Arrival Time---- -Sender/Recipient-------\n1" +
                      std::string(19 - size.size(), ' ') + size + " "))
      << out;
  EXPECT_NE(
      out.find(" ann@example.org\n" + indent + "bob@example.org\n" + indent + "cy@example.org\n" +
               indent + "  (451 4.7.1 try later)\n\n-- 1 Kbytes in 1 Request.\n"),
      std::string::npos)
      << out;
  EXPECT_EQ(Tool({"--store", s, "remove", "1"}).status, 0);
  EXPECT_EQ(Tool({"--store", s, "mailq"}).out, "Mail queue is empty\n");
}

TEST(QueueTool, ListNamesItsStoreAndFailsWithoutOne) {
  TempStore store;
  const Outcome missing = Tool({"--store", store.Folder(), "list"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("no queue store in " + store.Folder()), std::string::npos);
  store.Create("q");
  EXPECT_TRUE(Tool({"--store", store.Folder(), "list"}).out.starts_with("store " + store.Folder()));
}

}  // namespace
}  // namespace quillpost::queue
