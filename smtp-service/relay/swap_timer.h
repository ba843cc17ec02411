#pragma once

#include <chrono>

namespace quillpost::relay {

// The retryswap timer. It exists from the start but does not fire until
// start-up gives it a non-zero interval; from then on it fires periodically.
class SwapTimer {
 public:
  virtual ~SwapTimer() = default;
  virtual void SetInterval(std::chrono::milliseconds interval) = 0;
};

}  // namespace quillpost::relay
