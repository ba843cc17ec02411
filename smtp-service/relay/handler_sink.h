#pragma once

#include <functional>
#include <utility>

#include "queue/queue.h"

namespace quillpost::relay {

// An arrival sink bound to one handler of the service.
class HandlerSink final : public queue::ArrivalSink {
 public:
  using Handler = std::function<void(queue::OpenQueue& queue, long cursor)>;

  explicit HandlerSink(Handler handler) : handler_(std::move(handler)) {}

  void Arrived(queue::OpenQueue& queue, long cursor) override { handler_(queue, cursor); }

 private:
  Handler handler_;
};

}  // namespace quillpost::relay
