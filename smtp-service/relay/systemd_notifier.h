#pragma once

// Notes to systemd through sd_notify ($NOTIFY_SOCKET): READY=1 after start-up,
// STATUS= lines, STOPPING=1 at shutdown, as a Type=notify unit expects.

#include "relay/service_notifier.h"

namespace quillpost::relay {

class SystemdNotifier final : public ServiceNotifier {
 public:
  void Ready(std::string_view status) override;
  void Status(std::string_view status) override;
  void Stopping() override;
};

}  // namespace quillpost::relay
