#include "relay/systemd_notifier.h"

#include <dlfcn.h>
#include <systemd/sd-daemon.h>

#include <cstdlib>
#include <memory>
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

struct LibraryClose {
  void operator()(void* library) const { ::dlclose(library); }
};

// libsystemd is loaded only when a service manager asks to be told
// ($NOTIFY_SOCKET): a relay started by hand or on a desktop does not map it,
// nor the compression and crypto libraries it brings along.
class NotifyFunction {
 public:
  NotifyFunction() {
    if (std::getenv("NOTIFY_SOCKET") == nullptr) {
      return;
    }
    library_.reset(::dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL));
    if (library_) {
      notify_ = reinterpret_cast<decltype(&::sd_notify)>(::dlsym(library_.get(), "sd_notify"));
    }
  }
  void operator()(const std::string& state) const {
    if (notify_ != nullptr) {
      notify_(0, state.c_str());
    }
  }

 private:
  std::unique_ptr<void, LibraryClose> library_;
  decltype(&::sd_notify) notify_ = nullptr;
};

// sd_notify does nothing when no manager listens; a manager that cannot be
// reached is not a reason to stop relaying mail, so its answer is not looked at.
void Notify(const std::string& state) {
  static const NotifyFunction notify;
  notify(state);
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
