#include "window/tray_icon.h"

#include <QObject>
#include <QString>
#include <iostream>

#include "eventlog/event_log.h"
#include "window/window_icon.h"

namespace quillpost::window {

TrayIcon::TrayIcon(StatusWindow& window) : window_(window) {
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
  if (ShowsWindow(reason)) {
    window_.Reveal();
  }
}

}  // namespace quillpost::window
