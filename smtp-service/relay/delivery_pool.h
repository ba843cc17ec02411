#pragma once

// Sends mails on threads of their own, so that the relay's one thread never
// waits on a relay host: it hands a mail over once everything about it is
// ready (status lines written, the message built), and takes it back, sent
// or failed, once the completion descriptor is readable. Only MailPort::Send
// runs on the pool's threads, each with SMTP sessions of its own; the queues,
// the logs and the status lines stay with the relay's thread.
//
// A mail goes to the thread that finished last with its session open, so
// that the few sessions the relay needs stay busy and open while the others
// close when idle: a relay host that counts connections sees about as many
// as mails under way. A thread whose send failed waits behind the others.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "posix/unique_fd.h"
#include "relay/mail_port.h"

namespace quillpost::relay {

class DeliveryPool {
 public:
  struct Delivery {
    std::uint64_t ticket = 0;
    std::unique_ptr<MailPort> mail;
    std::exception_ptr failure;  // what Send threw; empty when it went out
  };

  // threads sessions at most; with mailsPerSecond above zero, sends of all
  // threads together are spaced so that no more go out.
  DeliveryPool(std::size_t threads, double mailsPerSecond,
               std::chrono::milliseconds idleSessionTimeout);
  ~DeliveryPool();
  DeliveryPool(const DeliveryPool&) = delete;
  DeliveryPool& operator=(const DeliveryPool&) = delete;

  void Submit(Delivery delivery);
  // Readable while a delivery has come back.
  [[nodiscard]] int CompletionDescriptor() const { return completed_.Get(); }
  // The deliveries that came back, in the order they did.
  std::vector<Delivery> TakeCompleted();

 private:
  struct Worker {
    std::condition_variable wake;
    std::optional<Delivery> job;
    bool listed = false;       // on idle_
    std::size_t sessions = 0;  // connections kept open after its last mail
    std::thread thread;
  };
  void Work(Worker& self);
  // Waits until the send rate lets the next mail go.
  void WaitForTurn();

  std::mutex mutex_;
  std::vector<std::unique_ptr<Worker>> workers_;
  std::vector<Worker*> idle_;     // the one that became idle last, last
  std::deque<Delivery> waiting_;  // while no worker is idle
  std::vector<Delivery> done_;
  bool stopping_ = false;
  std::chrono::steady_clock::duration spacing_{};
  std::chrono::steady_clock::time_point nextSend_{};
  std::chrono::milliseconds idleSessionTimeout_;
  posix::UniqueFd completed_;
};

}  // namespace quillpost::relay
