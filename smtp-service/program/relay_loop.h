#pragma once

// The service's one event loop: arrivals on the open queues (through each
// queue's notification descriptor), retryswap ticks and termination signals,
// each handled to completion before the next is taken. Everything it waits for
// sits behind one epoll descriptor: headless, the program waits on that alone;
// with a window, the window's event loop waits on it among its own events.
// Without a window the program so links no GUI or event library at all.

#include <chrono>
#include <deque>
#include <functional>

#include "posix/unique_fd.h"
#include "program/signal_pipe.h"
#include "relay/status.h"
#include "relay/swap_timer.h"

namespace quillpost::program {

class RelayLoop final : public relay::SwapTimer {
 public:
  // Signals are caught from here on.
  RelayLoop();
  RelayLoop(const RelayLoop&) = delete;
  RelayLoop& operator=(const RelayLoop&) = delete;

  // Zero stops the timer; any other interval starts it.
  void SetInterval(std::chrono::milliseconds interval) override;

  // Runs sweep once the queues have been quiet for quietTime; the SMTP
  // component uses it to end sessions kept open between mails. The timer runs
  // only after activity, so an idle service uses no CPU.
  void SetQuietSweep(std::chrono::milliseconds quietTime, std::function<void()> sweep);

  // Delivers the events to status: call after its start-up.
  void Attach(relay::Status& status);

  // Readable while an event waits.
  [[nodiscard]] int Descriptor() const { return epoll_.Get(); }
  // Handles one waiting event, if there is one, without blocking.
  void HandleReady();
  // Waits for events and handles them, one at a time, until the process ends.
  [[noreturn]] void Run();

 private:
  using Handler = std::function<void()>;
  void Watch(int descriptor, Handler handler);
  void WatchQueue(queue::OpenQueue& queue);
  void Handle(int timeoutMilliseconds);

  posix::UniqueFd epoll_;
  posix::UniqueFd retryswap_;
  posix::UniqueFd quietSweep_;
  std::chrono::milliseconds quietTime_{0};
  Handler sweep_;
  SignalPipe signals_;
  // Indexed by the number each descriptor was registered with.
  // A deque: a handler may add a handler (a queue opened again) while it runs.
  std::deque<Handler> handlers_;
};

}  // namespace quillpost::program
