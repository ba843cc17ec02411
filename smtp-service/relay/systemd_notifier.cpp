#include "relay/systemd_notifier.h"

#include <systemd/sd-daemon.h>

#include <string>

namespace quillpost::relay {
namespace {

// A status line must stay one line.
std::string OneLine(std::string_view text) {
  std::string line(text);
  for (char& c : line) {
    if (c == '\n' || c == '\r') {
      c = ' ';
    }
  }
  return line;
}

// sd_notify does nothing when no manager listens; a manager that cannot be
// reached is not a reason to stop relaying mail, so its answer is not looked at.
void Notify(const std::string& state) {
  ::sd_notify(0, state.c_str());
}

}  // namespace

void SystemdNotifier::Ready(std::string_view status) {
  Notify("READY=1\nSTATUS=" + OneLine(status));
}

void SystemdNotifier::Status(std::string_view status) {
  Notify("STATUS=" + OneLine(status));
}

void SystemdNotifier::Stopping() {
  Notify("STOPPING=1\nSTATUS=Stopping");
}

}  // namespace quillpost::relay
