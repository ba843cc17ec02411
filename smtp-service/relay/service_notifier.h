#pragma once

// What the service tells the service manager that started it: that start-up
// is over, what it has done so far, and that it is stopping. Outside a
// service manager nothing listens, and the notes go nowhere.

#include <string_view>

namespace quillpost::relay {

class ServiceNotifier {
 public:
  virtual ~ServiceNotifier() = default;

  // Start-up is over (whether or not every step succeeded); status says how.
  virtual void Ready(std::string_view status) = 0;
  // A one-line summary that the manager shows with the service.
  virtual void Status(std::string_view status) = 0;
  // Shutdown has begun.
  virtual void Stopping() = 0;
};

class NullServiceNotifier final : public ServiceNotifier {
 public:
  void Ready(std::string_view /*status*/) override {}
  void Status(std::string_view /*status*/) override {}
  void Stopping() override {}
};

}  // namespace quillpost::relay
