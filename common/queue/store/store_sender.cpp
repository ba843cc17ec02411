#include "queue/store/store_sender.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <new>
#include <thread>

#include "eventlog/event_log.h"
#include "queue/path_name.h"

namespace quillpost::queue {

// A message waiting to be stored, on the stack of the thread that sends it.
// That thread sleeps on wake until it is answered or made the leader.
struct StoreSender::Request {
  Request(const std::string& queue, const Message& sent) : queueName(queue), message(sent) {}

  const std::string& queueName;
  const Message& message;
  std::exception_ptr failure;
  bool answered = false;
  bool leads = false;
  std::condition_variable wake;
  std::thread::id thread = std::this_thread::get_id();
};

namespace {

// How long a leader waits for senders expected back, at most: a fraction of a
// flush.
constexpr std::chrono::microseconds kGatherTime{150};

std::string NoQueueText(const std::string& folder, const std::string& queueName) {
  return "there is no queue '" + queueName + "' in store " + folder;
}

}  // namespace

StoreSender::StoreSender(std::string folder)
    : folder_(std::move(folder)), file_(folder_ + "/queues.db") {}

StoreSender::~StoreSender() = default;

void StoreSender::Send(const std::string& pathName, const Message& message) {
  CheckMessage(message);
  const QueueLocation location = ParseQueuePath(pathName);
  Request request(location.queueName, message);
  std::unique_lock lock(mutex_);
  queued_.push_back(&request);
  if (gathering_ && queued_.size() >= expected_) {
    arrived_.notify_one();
  }
  if (!leading_) {
    leading_ = true;
    request.leads = true;
  }
  while (!request.answered) {
    if (request.leads) {
      request.leads = false;
      Lead(lock);
    } else {
      request.wake.wait(lock);
    }
  }
  if (request.failure) {
    std::rethrow_exception(request.failure);
  }
}

void StoreSender::Lead(std::unique_lock<std::mutex>& lock) {
  if (queued_.size() < expected_) {
    // Threads answered by the last commit are on their way back with their
    // next message: a moment's wait lets one flush serve them too. A lone
    // thread expects nobody and never waits.
    gathering_ = true;
    arrived_.wait_for(lock, kGatherTime, [&] { return queued_.size() >= expected_; });
    gathering_ = false;
  }
  std::vector<Request*> batch;
  batch.swap(queued_);
  lock.unlock();
  Commit(batch);
  lock.lock();
  ExpectSendersOf(batch);
  // Each thread is woken by itself: those answered, and the first of those
  // that came meanwhile, which leads the next commit. The others sleep on.
  for (Request* request : batch) {
    request->answered = true;
    request->wake.notify_one();
  }
  if (queued_.empty()) {
    leading_ = false;
  } else {
    queued_.front()->leads = true;
    queued_.front()->wake.notify_one();
  }
}

void StoreSender::ExpectSendersOf(const std::vector<Request*>& batch) noexcept {
  try {
    NoteSendersOf(batch);
  } catch (const std::bad_alloc&) {
    // Throwing here would leave the batch unanswered and the lead with
    // nobody: the next commit waits for nobody instead.
    expected_ = 0;
    previousSenders_.clear();
  }
}

void StoreSender::NoteSendersOf(const std::vector<Request*>& batch) {
  std::vector<std::thread::id> senders;
  senders.reserve(batch.size());
  for (const Request* request : batch) {
    senders.push_back(request->thread);
  }
  // The threads of the last two commits: the size of a commit when every one
  // of them sends again.
  std::vector<std::thread::id> both = senders;
  for (const std::thread::id thread : previousSenders_) {
    if (std::find(both.begin(), both.end(), thread) == both.end()) {
      both.push_back(thread);
    }
  }
  expected_ = both.size() > 1 ? both.size() : 0;
  previousSenders_ = std::move(senders);
}

void StoreSender::Commit(const std::vector<Request*>& batch) noexcept {
  std::vector<int> bells;
  try {
    Store& store = CurrentStore();
    store.WriteTogether("storing a message", [&] {
      for (Request* request : batch) {
        Insert(store, *request, bells);
      }
    });
    store.RestoreReserve();  // the disk had room
  } catch (const StoreMissing&) {
    for (Request* request : batch) {
      request->failure = std::make_exception_ptr(
          NoSuchQueue(NoQueueText(folder_, request->queueName) + " (there is no store there)"));
    }
    return;
  } catch (...) {
    // Nothing of the batch was kept. The connection is opened anew for the
    // next commit, in case the failure was its own.
    const std::exception_ptr failure = std::current_exception();
    for (Request* request : batch) {
      if (!request->failure) {
        request->failure = failure;
      }
    }
    queues_.clear();
    store_.reset();
    return;
  }
  Ring(bells);
}

void StoreSender::Insert(Store& store, Request& request, std::vector<int>& bells) {
  // A queue deleted (and perhaps created again under a new number) since it
  // was looked up is looked up once more.
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto found = queues_.find(request.queueName);
    if (found == queues_.end()) {
      const std::optional<std::int64_t> id = store.FindQueue(request.queueName);
      if (!id) {
        break;
      }
      OpenedQueue opened{*id, OpenBell(store.BellPath(*id), store.FileMode())};
      if (!opened.bell.Valid()) {
        // Nothing of it is stored; the others of the commit go on.
        const int error = errno;
        request.failure = std::make_exception_ptr(
            QueueError("cannot open the bell file " + store.BellPath(*id) + " of queue '" +
                       request.queueName + "': " + std::strerror(error)));
        return;
      }
      found = queues_.emplace(request.queueName, std::move(opened)).first;
    }
    if (store.Insert(found->second.id, request.message)) {
      if (std::find(bells.begin(), bells.end(), found->second.bell.Get()) == bells.end()) {
        bells.push_back(found->second.bell.Get());
      }
      return;
    }
    queues_.erase(found);
  }
  request.failure = std::make_exception_ptr(NoSuchQueue(NoQueueText(folder_, request.queueName)));
}

Store& StoreSender::CurrentStore() {
  struct stat file {};
  const bool present = ::stat(file_.c_str(), &file) == 0;
  if (store_ && present && file.st_dev == device_ && file.st_ino == inode_) {
    return *store_;
  }
  queues_.clear();
  store_.reset();
  store_.emplace(folder_, Store::Mode::OpenExisting);
  // The open connection keeps the file's inode in use, so a file that
  // replaces it later cannot come with the same number.
  if (::stat(file_.c_str(), &file) == 0) {
    device_ = file.st_dev;
    inode_ = file.st_ino;
  }
  return *store_;
}

void StoreSender::Ring(const std::vector<int>& bells) const {
  for (const int bell : bells) {
    if (::pwrite(bell, "!", 1, 0) != 1) {
      eventlog::ReportError("Quillpost queue store " + folder_ + ": cannot ring a queue's bell: " +
                            std::strerror(errno) + "; waiting receivers notice the message later");
    }
  }
}

}  // namespace quillpost::queue
