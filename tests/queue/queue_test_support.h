#pragma once

// Shared pieces of the queue tests: a throw-away store folder, and a place for
// the queues of one test on either backend (an embedded store, or the test
// broker named by $QUILLPOST_TEST_AMQP).

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "queue/admin/queue_admin.h"
#include "queue/queue.h"

namespace quillpost::queue::testing {

// A fresh store folder under the temporary directory, removed afterwards.
class TempStore {
 public:
  TempStore() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quillpost-queue-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    folder_ = pattern + "/store";
  }
  ~TempStore() {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(folder_).parent_path(), ignored);
  }
  TempStore(const TempStore&) = delete;
  TempStore& operator=(const TempStore&) = delete;

  const std::string& Folder() const { return folder_; }
  std::string Path(const std::string& queue) const { return "file://" + folder_ + "/" + queue; }
  std::string Create(const std::string& queue) const {
    QueuePath(Path(queue)).Create();
    return Path(queue);
  }

 private:
  std::string folder_;
};

inline bool Readable(int fd, std::chrono::milliseconds timeout) {
  pollfd watch{fd, POLLIN, 0};
  return ::poll(&watch, 1, static_cast<int>(timeout.count())) == 1;
}

enum class Backend { Store, Broker };

inline std::string BackendName(const ::testing::TestParamInfo<Backend>& info) {
  return info.param == Backend::Store ? "Store" : "Broker";
}

// The test broker, or empty when none runs.
inline std::string TestBroker() {
  const char* url = std::getenv("QUILLPOST_TEST_AMQP");
  return url == nullptr ? std::string() : std::string(url);
}

// The type of the broker queues the tests create: classic, or quorum when
// $QUILLPOST_TEST_QUEUE_TYPE says so (the broker suite run on a cluster).
inline QueueType TestQueueType() {
  const char* type = std::getenv("QUILLPOST_TEST_QUEUE_TYPE");
  return type != nullptr && std::string(type) == "quorum" ? QueueType::Quorum : QueueType::Classic;
}

// The queues of one test. On a broker, every test gets names of its own
// (a unique prefix) and its queues are deleted afterwards.
class QueueSpace {
 public:
  virtual ~QueueSpace() = default;
  virtual std::string Path(const std::string& queue) = 0;
  // What ListQueues takes for this space's store.
  virtual std::string StoreName() const = 0;
  // Whether peeking shows the messages that receivers hold, and listing
  // counts them at once (a broker's management interface counts them a few
  // seconds late).
  virtual bool SeesInHand() const = 0;
  // Whether higher priorities come first (a quorum queue takes every
  // message in the order it came).
  virtual bool KeepsPriorities() const { return true; }

  std::string Create(const std::string& queue) {
    const std::string path = Path(queue);
    CreateQueue(path, StoreAccess::Owner, SeesInHand() ? QueueType::Classic : TestQueueType());
    return path;
  }
  // ListQueues for this space only, with the names as the test gave them.
  virtual std::vector<QueueInfo> List() { return ListQueues(StoreName()); }

  // Polls List() until check holds (in-hand counts of a broker come from its
  // management interface, which counts a little behind).
  bool ListEventually(const std::function<bool(const std::vector<QueueInfo>&)>& check) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    for (;;) {
      if (check(List())) {
        return true;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
};

class StoreSpace final : public QueueSpace {
 public:
  std::string Path(const std::string& queue) override { return store_.Path(queue); }
  std::string StoreName() const override { return store_.Folder(); }
  bool SeesInHand() const override { return true; }

 private:
  TempStore store_;
};

class BrokerSpace final : public QueueSpace {
 public:
  BrokerSpace() : base_(TestBroker()) {
    static std::atomic<int> spaces{0};
    prefix_ = "t" + std::to_string(::getpid()) + "-" + std::to_string(++spaces) + "-";
    if (const char* management = std::getenv("QUILLPOST_TEST_AMQP_MANAGEMENT")) {
      ::setenv("QUILLPOST_AMQP_MANAGEMENT", management, 1);
    }
  }
  ~BrokerSpace() override {
    for (const std::string& queue : used_) {
      try {
        DeleteQueue(base_ + "/" + queue);
      } catch (const QueueError&) {
      }
    }
  }
  std::string Path(const std::string& queue) override {
    used_.insert(prefix_ + queue);
    return base_ + "/" + prefix_ + queue;
  }
  std::string StoreName() const override { return base_; }
  bool SeesInHand() const override { return false; }
  bool KeepsPriorities() const override { return TestQueueType() == QueueType::Classic; }
  std::vector<QueueInfo> List() override {
    std::vector<QueueInfo> mine;
    for (QueueInfo& info : ListQueues(base_)) {
      if (info.name.starts_with(prefix_)) {
        info.name.erase(0, prefix_.size());
        mine.push_back(std::move(info));
      }
    }
    return mine;
  }

 private:
  std::string base_;
  std::string prefix_;
  std::set<std::string> used_;
};

inline std::unique_ptr<QueueSpace> MakeSpace(Backend backend) {
  if (backend == Backend::Store) {
    return std::make_unique<StoreSpace>();
  }
  return std::make_unique<BrokerSpace>();
}

// A fixture over both backends; broker cases are skipped when no test broker
// runs (scripts/broker-start.sh starts one).
class BothBackends : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    if (GetParam() == Backend::Broker && TestBroker().empty()) {
      GTEST_SKIP() << "QUILLPOST_TEST_AMQP is not set: no test broker";
    }
    space_ = MakeSpace(GetParam());
  }
  QueueSpace& Space() { return *space_; }
  // A store other than this test's, for refusals across stores.
  std::unique_ptr<QueueSpace> Elsewhere() {
    return GetParam() == Backend::Store ? MakeSpace(Backend::Store)
                                        : std::unique_ptr<QueueSpace>(new StoreSpace());
  }

 private:
  std::unique_ptr<QueueSpace> space_;
};

}  // namespace quillpost::queue::testing
