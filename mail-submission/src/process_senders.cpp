// The senders of this process, one per store (or broker queue), kept open from
// one Send to the next: opening a store costs several disk flushes, more than
// the send itself.
//
// After fork() the child holds copies of its parent's senders: open files,
// SQLite state and locks that are the parent's. The child neither uses nor
// closes them (closing could undo the parent's locks or checkpoint its log);
// it forgets them and opens its own.

#include "process_senders.h"

#include <pthread.h>
#include <unistd.h>

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
    // The lock is taken across fork(), so that the child's copy of it is
    // never held by a thread that the child does not have.
    ::pthread_atfork([] { Get().mutex_.lock(); }, [] { Get().mutex_.unlock(); },
                     [] { Get().mutex_.unlock(); });
  }

  static ProcessSenders& Get() {
    static ProcessSenders senders;
    return senders;
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

  std::mutex mutex_;
  pid_t owner_ = ::getpid();
  std::uint64_t uses_ = 0;
  std::map<std::string, Entry> senders_;
};

}  // namespace

void SendThroughProcessSender(const std::string& pathName, const queue::Message& message) {
  ProcessSenders::Get().For(pathName)->Send(pathName, message);
}

}  // namespace quillpost
