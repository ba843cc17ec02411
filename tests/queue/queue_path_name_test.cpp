#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "queue/path_name.h"
#include "queue/queue.h"

namespace quillpost::queue {
namespace {

// Sets an environment variable for the length of a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) {
      previous_ = old;
    }
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (previous_) {
      ::setenv(name_, previous_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> previous_;
};

TEST(QueuePathNames, PlainNamesLiveInTheDefaultStore) {
  ScopedEnv store("QUILLPOST_STORE", "/srv/quillpost/");
  const QueueLocation location = ParseQueuePath("kvr_mailer_rA");
  EXPECT_EQ(location.storeFolder, "/srv/quillpost");
  EXPECT_EQ(location.queueName, "kvr_mailer_rA");
  EXPECT_EQ(ParseQueuePath("a.b-c_9").queueName, "a.b-c_9");
}

TEST(QueuePathNames, FileUrlsNameAStoreFolderAndAQueue) {
  QueueLocation location = ParseQueuePath("file:///var/lib/q/../quillpost/inbound");
  EXPECT_EQ(location.storeFolder, "/var/lib/quillpost");
  EXPECT_EQ(location.queueName, "inbound");
  location = ParseQueuePath("file:///tmp/with%20space/q");
  EXPECT_EQ(location.storeFolder, "/tmp/with space");
  EXPECT_EQ(ParseQueuePath("file:///q").storeFolder, "/");
}

TEST(QueuePathNames, MalformedNamesAreRefused) {
  for (const std::string& bad : std::vector<std::string>{
           "", "has space", "slash/inside", ".hidden", "-dash", std::string(129, 'q'), "ümlaut",
           "file://host/store/q", "file://relative", "file:///store/", "file:///store/bad%2",
           "file:///store/%00x", "file:///store/bad name", "C:\\queue",
           std::string("file:///s\0rv/q", 14)}) {
    EXPECT_THROW(ParseQueuePath(bad), QueueError) << bad;
  }
  EXPECT_THROW(ParseStoreName(std::string("/s\0rv", 5)), QueueError);
  EXPECT_NO_THROW(ParseQueuePath(std::string(128, 'q')));
}

TEST(QueuePathNames, BrokerUrlsNameNoStoreFolder) {
  try {
    ParseQueuePath("amqp://user:pw@host:5672/vhost/kvr_mailer");
    FAIL() << "accepted";
  } catch (const QueueError& error) {
    EXPECT_NE(std::string(error.what()).find("amqp"), std::string::npos);
  }
}

TEST(QueuePathNames, TheDefaultStoreFollowsTheEnvironment) {
  ScopedEnv home("HOME", "/home/ann");
  {
    ScopedEnv store("QUILLPOST_STORE", nullptr);
    ScopedEnv data("XDG_DATA_HOME", nullptr);
    EXPECT_EQ(DefaultStoreFolder(), "/home/ann/.local/share/quillpost");
    ScopedEnv relativeData("XDG_DATA_HOME", "relative/ignored");
    EXPECT_EQ(DefaultStoreFolder(), "/home/ann/.local/share/quillpost");
  }
  {
    ScopedEnv store("QUILLPOST_STORE", "");
    ScopedEnv data("XDG_DATA_HOME", "/data");
    EXPECT_EQ(DefaultStoreFolder(), "/data/quillpost");
  }
  ScopedEnv store("QUILLPOST_STORE", "/stores/main");
  ScopedEnv data("XDG_DATA_HOME", "/data");
  EXPECT_EQ(DefaultStoreFolder(), "/stores/main");
}

TEST(QueuePathNames, StoreNamesForAdministration) {
  ScopedEnv store("QUILLPOST_STORE", "/stores/main");
  EXPECT_EQ(ParseStoreName(""), "/stores/main");
  EXPECT_EQ(ParseStoreName("/other/"), "/other");
  EXPECT_EQ(ParseStoreName("file:///other%20one"), "/other one");
  EXPECT_THROW(ParseStoreName("amqp://host/vhost"), QueueError);
}

TEST(QueuePathNames, QueuesOfAStoreAreNamedWithEscapes) {
  EXPECT_EQ(QueuePathIn("/srv/a b", "q"), "file:///srv/a%20b/q");
  for (const std::string folder : {"/tmp/100%", "/tmp/a#b?c;d", "/tmp/\xc3\xa9t\xc3\xa9", "/"}) {
    const QueueLocation location = ParseQueuePath(QueuePathIn(folder, "q"));
    EXPECT_EQ(location.storeFolder, folder);
    EXPECT_EQ(location.queueName, "q");
  }
  EXPECT_EQ(QueuePathIn("amqp://u:p%40@h/%2f/", "q"), "amqp://u:p%40@h/%2f/q");
  EXPECT_THROW(QueuePathIn("/srv", "bad name"), QueueError);
}

TEST(QueueBackends, ThePathNameChoosesTheBackendAndWhetherMovesAreAtomic) {
  EXPECT_EQ(BackendKindOf("kvr_mailer"), BackendKind::Store);
  EXPECT_EQ(BackendKindOf("file:///srv/q"), BackendKind::Store);
  EXPECT_EQ(BackendKindOf("gopher://h/q"), BackendKind::Store);  // refused by the store
  EXPECT_EQ(BackendKindOf("amqp://h/v/q"), BackendKind::Broker);
  EXPECT_EQ(BackendKindOf("amqps://h/v"), BackendKind::Broker);
  EXPECT_TRUE(QueuePath("file:///srv/q").MovesAtomically());
  // Asks nothing of the broker: the host does not exist.
  EXPECT_FALSE(QueuePath("amqp://u:p@nowhere.invalid/v/q").MovesAtomically());
}

}  // namespace
}  // namespace quillpost::queue
