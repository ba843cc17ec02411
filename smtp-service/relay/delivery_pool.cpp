#include "relay/delivery_pool.h"

#include <algorithm>
#include <stdexcept>

#include "mail/session_cache.h"
#include "posix/event_fd.h"
#include "posix/system_error.h"

namespace quillpost::relay {
namespace {

// Past a kept session's idle time-out, so that CloseIdle finds it expired.
constexpr std::chrono::milliseconds kIdleMargin{500};

}  // namespace

DeliveryPool::DeliveryPool(std::size_t threads, double mailsPerSecond,
                           std::chrono::milliseconds idleSessionTimeout)
    : idleSessionTimeout_(idleSessionTimeout), completed_(posix::NewEventFd()) {
  if (!completed_.Valid()) {
    posix::ThrowSystem<std::runtime_error>("cannot make the deliveries' completion descriptor");
  }
  if (mailsPerSecond > 0) {
    spacing_ = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(1.0 / mailsPerSecond));
  }
  const std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < std::max<std::size_t>(threads, 1); ++i) {
    workers_.push_back(std::make_unique<Worker>());
    Worker& worker = *workers_.back();
    worker.thread = std::thread([this, &worker] { Work(worker); });
  }
}

DeliveryPool::~DeliveryPool() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
    for (const auto& worker : workers_) {
      worker->wake.notify_one();
    }
  }
  for (const auto& worker : workers_) {
    worker->thread.join();
  }
}

void DeliveryPool::Submit(Delivery delivery) {
  const std::lock_guard lock(mutex_);
  if (idle_.empty()) {
    waiting_.push_back(std::move(delivery));
    return;
  }
  Worker* worker = idle_.back();
  idle_.pop_back();
  worker->listed = false;
  worker->job = std::move(delivery);
  worker->wake.notify_one();
}

std::vector<DeliveryPool::Delivery> DeliveryPool::TakeCompleted() {
  posix::Drain(completed_.Get());
  const std::lock_guard lock(mutex_);
  std::vector<Delivery> done;
  done.swap(done_);
  return done;
}

void DeliveryPool::WaitForTurn() {
  if (spacing_.count() == 0) {
    return;
  }
  std::chrono::steady_clock::time_point turn;
  {
    const std::lock_guard lock(mutex_);
    turn = std::max(nextSend_, std::chrono::steady_clock::now());
    nextSend_ = turn + spacing_;
  }
  std::this_thread::sleep_until(turn);
}

void DeliveryPool::Work(Worker& self) {
  // This thread's sessions, kept between its mails and closed once idle.
  smtp::SessionCache& sessions = smtp::SessionCache::Process();
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (!self.job && !waiting_.empty()) {
      self.job = std::move(waiting_.front());
      waiting_.pop_front();
    }
    if (!self.job) {
      if (!self.listed) {
        // Without an open connection it is the last choice: the host may take
        // no more, and one refused or failed holds none.
        if (self.sessions > 0) {
          idle_.push_back(&self);
        } else {
          idle_.insert(idle_.begin(), &self);
        }
        self.listed = true;
      }
      const auto ready = [this, &self] { return stopping_ || self.job.has_value(); };
      if (idleSessionTimeout_.count() > 0 && sessions.Size() > 0) {
        if (!self.wake.wait_for(lock, idleSessionTimeout_ + kIdleMargin, ready)) {
          lock.unlock();
          sessions.CloseIdle();
          lock.lock();
          self.sessions = sessions.OpenConnections();
        }
      } else {
        self.wake.wait(lock, ready);
      }
      continue;
    }
    Delivery delivery = std::move(*self.job);
    self.job.reset();
    lock.unlock();
    WaitForTurn();
    try {
      delivery.mail->Send();
    } catch (...) {
      delivery.failure = std::current_exception();
    }
    lock.lock();
    self.sessions = sessions.OpenConnections();
    done_.push_back(std::move(delivery));
    posix::Signal(completed_.Get());
  }
}

}  // namespace quillpost::relay
