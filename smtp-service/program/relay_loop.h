#pragma once

// The service's one event loop: arrivals on the open queues (through each
// queue's notification descriptor), retryswap ticks and termination signals,
// each handled to completion before the next is taken.

#include <QSocketNotifier>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

#include "program/signal_pipe.h"
#include "relay/status.h"
#include "relay/swap_timer.h"

namespace quillpost::program {

class RelayLoop final : public relay::SwapTimer {
 public:
  // Needs a QCoreApplication. Signals are caught from here on.
  RelayLoop();
  ~RelayLoop() override;
  RelayLoop(const RelayLoop&) = delete;
  RelayLoop& operator=(const RelayLoop&) = delete;

  // Zero stops the timer; any other interval starts it.
  void SetInterval(std::chrono::milliseconds interval) override;

  // Runs sweep once the queues have been quiet for quietTime; the SMTP
  // component uses it to end sessions kept open between mails. The timer runs
  // only after activity, so an idle service uses no CPU.
  void SetQuietSweep(std::chrono::milliseconds quietTime, std::function<void()> sweep);

  // Delivers the events to status: call after its start-up, before the
  // application's exec().
  void Attach(relay::Status& status);

 private:
  void Watch(queue::OpenQueue& queue);

  QTimer retryswap_;
  QTimer quietSweep_;
  std::function<void()> sweep_;
  SignalPipe signals_;
  std::unique_ptr<QSocketNotifier> signalNotifier_;
  std::vector<std::unique_ptr<QSocketNotifier>> queueNotifiers_;
};

}  // namespace quillpost::program
