#include "window/tray_icon.h"

#include <QApplication>
#include <QObject>
#include <QString>
#include <iostream>

#include "eventlog/event_log.h"
#include "window/window_icon.h"

namespace quillpost::window {

bool TrayClickRule::ShowsWindow(QSystemTrayIcon::ActivationReason reason, Clock::time_point now) {
  if (reason == QSystemTrayIcon::Trigger) {
    if (lastClick_ && now - *lastClick_ <= interval_) {
      lastClick_.reset();
      return true;
    }
    lastClick_ = now;
    return false;
  }
  // Anything else in between breaks a pair of clicks.
  lastClick_.reset();
  return reason == QSystemTrayIcon::DoubleClick;
}

TrayIcon::TrayIcon(StatusWindow& window)
    : window_(window), rule_(std::chrono::milliseconds(QApplication::doubleClickInterval())) {
  icon_.setIcon(QuillpostIcon());
  icon_.setToolTip(QString::fromLatin1(kTrayTip));
  QObject::connect(
      &icon_, &QSystemTrayIcon::activated, &window_,
      [this](QSystemTrayIcon::ActivationReason reason) { trayicon_Activated(reason); });
}

void TrayIcon::Add() {
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    std::cerr << kNoTrayMessage << '\n' << std::flush;
    eventlog::ReportError(kNoTrayMessage);
  }
  icon_.show();
}

void TrayIcon::Remove() {
  icon_.hide();
}

void TrayIcon::trayicon_Activated(QSystemTrayIcon::ActivationReason reason) {
  if (rule_.ShowsWindow(reason, TrayClickRule::Clock::now())) {
    window_.Reveal();
  }
}

}  // namespace quillpost::window
