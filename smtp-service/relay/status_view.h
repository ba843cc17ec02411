#pragma once

// What the service shows of itself. Without a window the status lines go to
// standard output; the status window implements the same interface and
// replaces that view when it attaches to the service.

#include <string_view>

namespace quillpost::relay {

class StatusView {
 public:
  virtual ~StatusView() = default;

  // Appends one line to the end of the activity list; it shows at the latest
  // at the next Flush.
  virtual void AppendLine(std::string_view line) = 0;
  virtual void Flush() {}
  // Empties the activity list.
  virtual void Clear() = 0;
  virtual void Hide() {}
  virtual void Show() {}

  // Tray hooks, run by start-up and shutdown. A view without a tray has
  // nothing to add or remove, and no other instance to look for.
  virtual bool AnotherInstanceRunning() { return false; }
  virtual void AddTrayIcon() {}
  virtual void RemoveTrayIcon() {}
};

// Shows nothing: the view of a service that nothing has attached to.
class NullStatusView final : public StatusView {
 public:
  void AppendLine(std::string_view /*line*/) override {}
  void Clear() override {}
};

}  // namespace quillpost::relay
