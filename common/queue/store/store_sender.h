#pragma once

// Sends to the queues of one store from any number of threads of one process
// (queue/shared_sender.h). The store stays open from one send to the next; a
// store file replaced since the last commit (the folder removed and made
// anew, or the file itself) is noticed before each commit and opened anew.
//
// Group commit: a sender that finds no commit under way leads one. It stores
// every message queued by then, its own included, in one transaction made
// durable by one flush, and only then answers each of them. Senders that come
// while a commit is under way queue their message and wait; the first of them
// leads the next commit. A lone sender thus never waits for others. When the
// last two commits served several threads, a leader waits a moment (a
// fraction of a flush) for those not back yet: without it, busy threads split
// into two halves that take turns, each half a commit of its own.

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "posix/unique_fd.h"
#include "queue/shared_sender.h"
#include "queue/store/store.h"

namespace quillpost::queue {

class StoreSender final : public SharedSender {
 public:
  explicit StoreSender(std::string folder);
  ~StoreSender() override;
  StoreSender(const StoreSender&) = delete;
  StoreSender& operator=(const StoreSender&) = delete;

  void Send(const std::string& pathName, const Message& message) override;

 private:
  struct Request;
  struct OpenedQueue {
    std::int64_t id = 0;
    posix::UniqueFd bell;
  };

  // Commits what is queued, with the lock released meanwhile, answers it and
  // hands the lead on.
  void Lead(std::unique_lock<std::mutex>& lock);
  // Notes the threads of batch, and how many senders the next commit may
  // expect.
  void ExpectSendersOf(const std::vector<Request*>& batch) noexcept;
  void NoteSendersOf(const std::vector<Request*>& batch);
  // Stores batch and records each request's failure; throws nothing.
  void Commit(const std::vector<Request*>& batch) noexcept;
  // Stores one request within the open transaction, or records its own
  // failure (its queue is missing, or its bell cannot be opened). The bell
  // of its queue is added to bells.
  void Insert(Store& store, Request& request, std::vector<int>& bells);
  Store& CurrentStore();
  void Ring(const std::vector<int>& bells) const;

  const std::string folder_;
  const std::string file_;

  std::mutex mutex_;
  std::vector<Request*> queued_;
  // A thread leads a commit, or has been made the next leader.
  bool leading_ = false;
  // The leader waits for senders expected back from the last commit.
  bool gathering_ = false;
  std::condition_variable arrived_;
  std::size_t expected_ = 0;
  std::vector<std::thread::id> previousSenders_;

  // Used by the leader alone.
  std::optional<Store> store_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  std::unordered_map<std::string, OpenedQueue> queues_;
};

}  // namespace quillpost::queue
