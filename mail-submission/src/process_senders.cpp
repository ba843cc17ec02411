// The senders of this process, one per store (or broker queue), kept open from
// one Send to the next: opening a store costs several disk flushes, more than
// the send itself.
//
// No sender is open across fork(): SQLite keeps one record per process of
// the locks it holds on a file, and a child that inherited it would believe
// it holds the parent's locks while the kernel gives it none, so a checkpoint
// elsewhere could reset a log the child is writing to. Before a fork the
// senders are closed once every send under way is answered; the parent opens
// them again on its next send, the child opens its own. (posix_spawn, which
// system() and popen() use, runs no fork handlers and closes nothing.)
// Should a child still find a copy of its parent's sender, it leaves it be:
// closing it there could undo the parent's locks or its broker channel.

#include "process_senders.h"

#include <pthread.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "queue/shared_sender.h"

namespace quillpost {
namespace {

// At most this many stores stay open; the least recently used is closed first.
constexpr std::size_t kMostSenders = 8;

// Deletes a sender only in the process that opened it; a forked child's copy
// is left as it is, its memory included.
struct DeleteInOpeningProcess {
  pid_t opener = ::getpid();
  void operator()(queue::SharedSender* sender) const {
    if (::getpid() == opener) {
      std::default_delete<queue::SharedSender>()(sender);
    }
  }
};

class ProcessSenders {
 public:
  ProcessSenders() {
    ::pthread_atfork([] { Get().CloseForFork(); }, [] { Get().ReopenAfterFork(); },
                     [] { Get().ReopenAfterFork(); });
  }

  static ProcessSenders& Get() {
    static ProcessSenders senders;
    return senders;
  }

  // Brackets a send, so that a fork waits for it to be answered.
  void EnterSend() {
    std::unique_lock lock(gateMutex_);
    noFork_.wait(lock, [this] { return !forking_; });
    ++sending_;
  }
  void LeaveSend() {
    const std::lock_guard lock(gateMutex_);
    if (--sending_ == 0) {
      noSends_.notify_all();
    }
  }

  std::shared_ptr<queue::SharedSender> For(const std::string& pathName) {
    std::string key = queue::SharedSenderKey(pathName);
    const std::lock_guard lock(mutex_);
    if (owner_ != ::getpid()) {
      senders_.clear();
      owner_ = ::getpid();
    }
    Entry& entry = senders_[std::move(key)];
    entry.lastUse = ++uses_;
    if (!entry.sender) {
      std::unique_ptr<queue::SharedSender> made = queue::MakeSharedSender(pathName);
      entry.sender = std::shared_ptr<queue::SharedSender>(made.release(), DeleteInOpeningProcess{});
      CloseLeastUsedBeyondLimit();
    }
    return entry.sender;
  }

 private:
  // Both locks stay taken across fork(), so that the child's copies are never
  // held by a thread the child does not have.
  void CloseForFork() {
    gateMutex_.lock();
    forking_ = true;
    std::unique_lock gate(gateMutex_, std::adopt_lock);
    noSends_.wait(gate, [this] { return sending_ == 0; });
    gate.release();
    mutex_.lock();
    senders_.clear();
  }
  void ReopenAfterFork() {
    mutex_.unlock();
    forking_ = false;
    gateMutex_.unlock();
    noFork_.notify_all();
  }

  struct Entry {
    std::shared_ptr<queue::SharedSender> sender;
    std::uint64_t lastUse = 0;
  };

  void CloseLeastUsedBeyondLimit() {
    if (senders_.size() <= kMostSenders) {
      return;
    }
    auto oldest = senders_.begin();
    for (auto it = senders_.begin(); it != senders_.end(); ++it) {
      if (it->second.lastUse < oldest->second.lastUse) {
        oldest = it;
      }
    }
    // A send under way keeps its sender until it is answered.
    senders_.erase(oldest);
  }

  std::mutex gateMutex_;
  std::condition_variable noSends_;
  std::condition_variable noFork_;
  bool forking_ = false;
  int sending_ = 0;
  std::mutex mutex_;
  pid_t owner_ = ::getpid();
  std::uint64_t uses_ = 0;
  std::map<std::string, Entry> senders_;
};

}  // namespace

void SendThroughProcessSender(const std::string& pathName, const queue::Message& message) {
  ProcessSenders& senders = ProcessSenders::Get();
  senders.EnterSend();
  struct Leave {
    ProcessSenders& senders;
    ~Leave() { senders.LeaveSend(); }
  } leave{senders};
  senders.For(pathName)->Send(pathName, message);
}

}  // namespace quillpost
