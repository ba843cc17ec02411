#pragma once

#include <sys/types.h>

// A queue of a store, opened for receiving or for sending.
//
// Arrival reports: a receiving queue watches its bell file and the store's
// holders/ folder with inotify. Senders write to the bell after each commit;
// a holder file is closed by the kernel when its process ends, which may put
// messages back on the queue. An eventfd makes the descriptor readable at once
// when a message is already waiting when the report is armed. Both sit in one
// epoll descriptor, which is what NotificationDescriptor() hands out.

#include <cstdint>
#include <memory>
#include <string>

#include "posix/unique_fd.h"
#include "queue/queue.h"
#include "queue/store/holder.h"
#include "queue/store/store.h"

namespace quillpost::queue {

// A store connection and the process's lease, shared by an open queue and the
// messages received from it (which may outlive the queue).
struct StoreSession {
  explicit StoreSession(Store opened) : store(std::move(opened)) {}
  Store store;
  std::shared_ptr<Holder> holder;
};

class StoreQueue final : public OpenQueue {
 public:
  StoreQueue(std::string pathName, Access access, std::shared_ptr<StoreSession> session,
             std::int64_t queueId);
  ~StoreQueue() override;
  StoreQueue(const StoreQueue&) = delete;
  StoreQueue& operator=(const StoreQueue&) = delete;

  const std::string& PathName() const override { return pathName_; }
  Access OpenedFor() const override { return access_; }
  std::optional<ReceivedMessage> Receive(std::chrono::milliseconds timeout) override;
  void EnableNotification(ArrivalSink& sink) override;
  int NotificationDescriptor() const override;
  void DeliverNotification() override;
  void Send(const Message& message) override;
  void Close() override;
  bool IsStillTheNamedQueue() override;

 private:
  struct Wakeups {
    bool bell = false;
    bool holderEnded = false;
    bool due = false;  // a report was signalled and not yet delivered
    bool Any() const { return bell || holderEnded || due; }
  };

  void Require(Access access, const char* operation) const;
  void SetUpReceiving();
  Wakeups DrainWatches();
  // Reads what is pending without waiting, keeping a due report for the
  // armed sink.
  void CatchUp();
  void SignalDue();
  void ReclaimIfDue();
  void ReclaimQuietly();
  // The timer that wakes the armed report when the earliest message that is
  // not due yet comes due (store_due_time.cpp).
  void SetUpDueTimer();
  void ArmDueTimer();
  bool DrainDueTimer();

  std::string pathName_;
  Access access_;
  std::shared_ptr<StoreSession> session_;
  void RememberStoreFile();
  std::int64_t queueId_;
  // The store file this queue was opened in, by device and inode.
  dev_t storeDevice_ = 0;
  ino_t storeInode_ = 0;
  bool open_ = true;
  ArrivalSink* armed_ = nullptr;
  // Set until the first reclaim and whenever a holder file was closed since:
  // looking for ended receivers on every receive would cost a scan and a
  // lock probe per other receiver.
  bool reclaimDue_ = true;

  posix::UniqueFd bell_;      // send access: written after each message
  posix::UniqueFd watch_;     // receive access: inotify on the bell and holders/
  posix::UniqueFd due_;       // receive access: eventfd, "a report is due now"
  posix::UniqueFd dueTimer_;  // receive access: timerfd, "a waiting message comes due"
  posix::UniqueFd epoll_;     // receive access: watch_, due_ and dueTimer_ together
  int bellWatch_ = -1;
  int holdersWatch_ = -1;
};

}  // namespace quillpost::queue
