#include "queue/store/store_queue.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "eventlog/event_log.h"
#include "posix/event_fd.h"
#include "posix/same_file.h"
#include "posix/system_error.h"
#include "queue/backend.h"
#include "queue/path_name.h"

namespace quillpost::queue {
namespace {

using posix::ThrowSystem;

class StoreHeldMessage final : public HeldMessage {
 public:
  StoreHeldMessage(std::shared_ptr<StoreSession> session, std::int64_t queueId, std::int64_t seq,
                   bool bodyLeftOut)
      : session_(std::move(session)), queueId_(queueId), seq_(seq), bodyLeftOut_(bodyLeftOut) {}

  void Finish() override {
    Store& store = session_->store;
    if (!store.UsingReserve(
            [&] { return store.Finish(queueId_, seq_, session_->holder->Name()); })) {
      throw QueueError(LostHoldText());
    }
  }

  void FinishAndSend(const std::string& pathName, const Message& next) override {
    Move(pathName, next, std::nullopt);
  }

  std::unique_ptr<BodyStream> OpenStoredBody() override {
    return session_->store.OpenStoredBody(seq_);
  }

  void FinishAndSendKeeping(const std::string& pathName, const Message& next,
                            const KeptBody& kept) override {
    Move(pathName, next, kept);
  }

  void Release() noexcept override {
    try {
      Store& store = session_->store;
      store.UsingReserve([&] { store.Release(queueId_, seq_, session_->holder->Name()); });
      store.Ring(queueId_);
    } catch (const std::exception& error) {
      // The message stays in hand until this process ends; then others take it.
      eventlog::ReportError(std::string("Quillpost queue store: cannot return a message: ") +
                            error.what());
    }
  }

 private:
  // kept is only for a body left out; one in memory is put together by
  // ReceivedMessage.
  void Move(const std::string& pathName, const Message& next, const std::optional<KeptBody>& kept) {
    CheckMovedMessage(next);
    const QueueLocation target = ParseQueuePath(pathName);
    Store& store = session_->store;
    if (!posix::SameFile(target.storeFolder, store.Folder())) {
      throw QueueError("cannot move a message from store " + store.Folder() + " to '" + pathName +
                       "': both queues must be in the same store");
    }
    const std::optional<std::int64_t> targetId = store.FindQueue(target.queueName);
    if (!targetId) {
      throw NoSuchQueue("there is no queue '" + target.queueName + "' in store " + store.Folder());
    }
    const std::string& holder = session_->holder->Name();
    const bool moved = store.UsingReserve([&] {
      return bodyLeftOut_
                 ? store.FinishAndMoveStoredBody(queueId_, seq_, holder, *targetId, next, kept)
                 : store.FinishAndInsert(queueId_, seq_, holder, *targetId, next);
    });
    if (!moved) {
      throw QueueError(LostHoldText());
    }
    store.Ring(*targetId);
  }

  std::string LostHoldText() const {
    return "the message is no longer held by this process (the store gave it back to its queue)";
  }

  std::shared_ptr<StoreSession> session_;
  std::int64_t queueId_;
  std::int64_t seq_;
  bool bodyLeftOut_;
};

}  // namespace

StoreQueue::StoreQueue(std::string pathName, Access access, std::shared_ptr<StoreSession> session,
                       std::int64_t queueId)
    : pathName_(std::move(pathName)),
      access_(access),
      session_(std::move(session)),
      queueId_(queueId) {
  RememberStoreFile();
  const std::string bell = session_->store.BellPath(queueId_);
  // Opening the bell creates it again should it have gone missing.
  bell_ = OpenBell(bell, session_->store.FileMode());
  if (!bell_.Valid()) {
    ThrowSystem<QueueError>("cannot open the bell file " + bell + " of queue '" + pathName_ + "'");
  }
  if (access_ == Access::Receive) {
    bell_.Reset();
    SetUpReceiving();
  }
}

StoreQueue::~StoreQueue() = default;

void StoreQueue::SetUpReceiving() {
  watch_.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  due_ = posix::NewEventFd();
  epoll_ = posix::NewEpoll();
  if (!watch_.Valid() || !due_.Valid() || !epoll_.Valid()) {
    ThrowSystem<QueueError>("cannot set up arrival reports for queue '" + pathName_ + "'");
  }
  const std::string bell = session_->store.BellPath(queueId_);
  bellWatch_ = ::inotify_add_watch(watch_.Get(), bell.c_str(), IN_MODIFY | IN_DELETE_SELF);
  holdersWatch_ =
      ::inotify_add_watch(watch_.Get(), session_->store.HoldersPath().c_str(), IN_CLOSE_WRITE);
  if (bellWatch_ < 0 || holdersWatch_ < 0) {
    ThrowSystem<QueueError>("cannot watch the store files of queue '" + pathName_ + "'");
  }
  for (const int fd : {watch_.Get(), due_.Get()}) {
    posix::Require<QueueError>(posix::WatchReadable(epoll_.Get(), fd),
                               "cannot set up arrival reports for queue '" + pathName_ + "'");
  }
  SetUpDueTimer();
}

void StoreQueue::Require(Access access, const char* operation) const {
  RequireOpenFor(pathName_, open_, access_, access, operation);
}

StoreQueue::Wakeups StoreQueue::DrainWatches() {
  Wakeups wakeups;
  alignas(inotify_event) std::array<char, 4096> buffer{};
  for (;;) {
    const ssize_t got = ::read(watch_.Get(), buffer.data(), buffer.size());
    if (got <= 0) {
      break;
    }
    for (ssize_t offset = 0; offset < got;) {
      inotify_event event{};
      std::memcpy(&event, buffer.data() + offset, sizeof event);
      if ((event.mask & IN_Q_OVERFLOW) != 0) {
        // Events were dropped: assume the worst.
        wakeups.holderEnded = true;
        wakeups.bell = true;
      } else if (event.wd == holdersWatch_) {
        wakeups.holderEnded = true;
      } else if (event.wd == bellWatch_) {
        wakeups.bell = true;
      }
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
    }
  }
  if (DrainDueTimer()) {
    wakeups.bell = true;
  }
  wakeups.due = posix::Drain(due_.Get());
  if (wakeups.holderEnded) {
    reclaimDue_ = true;
  }
  return wakeups;
}

void StoreQueue::CatchUp() {
  const Wakeups wakeups = DrainWatches();
  // The wake-up was consumed here; an armed report must still see it.
  if (armed_ != nullptr && wakeups.Any()) {
    SignalDue();
  }
}

void StoreQueue::SignalDue() {
  posix::Signal(due_.Get());
}

void StoreQueue::ReclaimIfDue() {
  if (reclaimDue_) {
    Store& store = session_->store;
    store.UsingReserve([&] { return store.ReclaimGoneHolders(session_->holder->Name()); });
    reclaimDue_ = false;
  }
}

void StoreQueue::ReclaimQuietly() {
  try {
    ReclaimIfDue();
  } catch (const QueueError& error) {
    eventlog::ReportError(
        std::string("Quillpost queue store: cannot return the messages of an ended receiver: ") +
        error.what());
  }
}

std::optional<ReceivedMessage> StoreQueue::Receive(std::chrono::milliseconds timeout) {
  Require(Access::Receive, "receive");
  const bool forever = timeout.count() < 0;
  const auto deadline =
      std::chrono::steady_clock::now() + (forever ? std::chrono::milliseconds(0) : timeout);
  Store& store = session_->store;
  for (;;) {
    CatchUp();
    ReclaimIfDue();
    std::optional<TakenMessage> taken =
        store.UsingReserve([&] { return store.Take(queueId_, session_->holder->Name()); });
    if (taken) {
      return ReceivedMessage(std::move(taken->message),
                             std::make_unique<StoreHeldMessage>(session_, queueId_, taken->seq,
                                                                taken->leftOutBodySize.has_value()),
                             taken->leftOutBodySize);
    }
    if (!store.QueueExists(queueId_)) {
      throw NoSuchQueue("queue '" + pathName_ + "' has been deleted");
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (!forever && left.count() <= 0) {
      return std::nullopt;
    }
    pollfd watch{watch_.Get(), POLLIN, 0};
    int waitMs = forever ? -1 : static_cast<int>(std::min<std::int64_t>(left.count(), 60000));
    if (const auto due = store.NextDue(queueId_)) {
      // No bell rings when a waiting message comes due.
      const auto untilDue =
          std::chrono::ceil<std::chrono::milliseconds>(*due - std::chrono::system_clock::now());
      const int dueMs = static_cast<int>(std::clamp<std::int64_t>(untilDue.count(), 0, 60000));
      waitMs = waitMs < 0 ? dueMs : std::min(waitMs, dueMs);
    }
    if (::poll(&watch, 1, waitMs) < 0 && errno != EINTR) {
      ThrowSystem<QueueError>("waiting for a message on queue '" + pathName_ + "'");
    }
  }
}

void StoreQueue::EnableNotification(ArrivalSink& sink) {
  Require(Access::Receive, "arm arrival reports");
  armed_ = nullptr;
  CatchUp();  // what is waiting is looked up below
  armed_ = &sink;
  ReclaimIfDue();
  if (session_->store.HasWaiting(queueId_)) {
    SignalDue();
  } else {
    ArmDueTimer();
  }
}

int StoreQueue::NotificationDescriptor() const {
  Require(Access::Receive, "report arrivals");
  return epoll_.Get();
}

void StoreQueue::DeliverNotification() {
  if (!open_ || access_ != Access::Receive) {
    return;
  }
  const Wakeups wakeups = DrainWatches();
  ReclaimQuietly();
  if (armed_ == nullptr) {
    return;
  }
  // A report signalled by EnableNotification was looked up a moment ago;
  // a bell or an ended receiver may mean a message another receiver took.
  bool due = true;
  if (wakeups.bell || wakeups.holderEnded || !wakeups.due) {
    try {
      due = session_->store.HasWaiting(queueId_);
    } catch (const QueueError&) {
      // Report anyway: the receiver's own Receive meets the failure and answers it.
    }
  }
  if (due) {
    ArrivalSink* sink = std::exchange(armed_, nullptr);
    sink->Arrived(*this, 0);
  } else {
    try {
      ArmDueTimer();
    } catch (const QueueError&) {
      // The next bell or arming looks again.
    }
  }
}

void StoreQueue::Send(const Message& message) {
  Require(Access::Send, "send");
  CheckMessage(message);
  if (!session_->store.Insert(queueId_, message)) {
    throw NoSuchQueue("queue '" + pathName_ + "' has been deleted");
  }
  session_->store.RestoreReserve();  // the disk had room
  if (::pwrite(bell_.Get(), "!", 1, 0) != 1) {
    eventlog::ReportError("Quillpost queue store: cannot ring the bell of queue '" + pathName_ +
                          "': " + std::strerror(errno) +
                          "; waiting receivers notice the message later");
  }
}

void StoreQueue::Close() {
  open_ = false;
  armed_ = nullptr;
  bell_.Reset();
  epoll_.Reset();
  dueTimer_.Reset();
  due_.Reset();
  watch_.Reset();
  session_.reset();
}

}  // namespace quillpost::queue
