#include "window/desktop_status_view.h"

#include <QString>
#include <iostream>
#include <string>
#include <utility>

#include "eventlog/event_log.h"

namespace quillpost::window {
namespace {

void ReportLockProblem(const std::string& problem) {
  const std::string text =
      "quillpost-smtp: cannot tell whether another instance runs (" + problem + ")";
  eventlog::ReportError(text);
  std::cerr << text << '\n' << std::flush;
}

}  // namespace

DesktopStatusView::DesktopStatusView(LockLocation lock) : lockLocation_(std::move(lock)) {}

void DesktopStatusView::SetShutdown(std::function<void()> shutdown) {
  window_.SetShutdown(std::move(shutdown));
}

void DesktopStatusView::AppendLine(std::string_view line) {
  window_.AppendLine(QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size())));
}

void DesktopStatusView::Clear() {
  window_.ClearLines();
}

void DesktopStatusView::Hide() {
  hidden_ = true;
  window_.hide();
}

void DesktopStatusView::Show() {
  hidden_ = false;
  window_.Reveal();
}

bool DesktopStatusView::AnotherInstanceRunning() {
  if (lockLocation_.file.empty()) {
    ReportLockProblem(lockLocation_.problem);
    return false;
  }
  if (!lock_) {
    lock_.emplace(lockLocation_.file);
  }
  switch (lock_->state()) {
    case InstanceLock::State::kHeld:
      return false;
    case InstanceLock::State::kOtherInstance:
      return true;
    case InstanceLock::State::kUnknown:
      break;
  }
  ReportLockProblem(lock_->Problem());
  return false;
}

void DesktopStatusView::AddTrayIcon() {
  tray_.Add();
}

void DesktopStatusView::RemoveTrayIcon() {
  tray_.Remove();
}

void DesktopStatusView::ShowUnlessHidden() {
  if (!hidden_) {
    window_.show();
  }
}

}  // namespace quillpost::window
