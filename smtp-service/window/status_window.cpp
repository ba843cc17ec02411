#include "window/status_window.h"

#include <QCloseEvent>
#include <algorithm>
#include <utility>

#include "window/window_geometry.h"
#include "window/window_icon.h"

namespace quillpost::window {

StatusWindow::StatusWindow(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("Status"));
  setWindowTitle(QString::fromLatin1(kWindowCaption));
  setWindowIcon(QuillpostIcon());
  setFixedSize(ClientSize());

  list_incoming_.setObjectName(QStringLiteral("list_incoming"));
  list_incoming_.setGeometry(kListIncomingPlacement.ToPixels());
  list_incoming_.setSortingEnabled(false);
  list_incoming_.setUniformItemSizes(true);
  list_incoming_.setSelectionMode(QAbstractItemView::SingleSelection);

  cmd_reset_.setObjectName(QStringLiteral("cmd_reset"));
  cmd_reset_.setGeometry(kResetPlacement.ToPixels());
  cmd_hide_.setObjectName(QStringLiteral("cmd_hide"));
  cmd_hide_.setGeometry(kHidePlacement.ToPixels());
  cmd_quit_.setObjectName(QStringLiteral("cmd_quit"));
  cmd_quit_.setGeometry(kQuitPlacement.ToPixels());
  for (QPushButton* button : {&cmd_reset_, &cmd_hide_, &cmd_quit_}) {
    button->setAutoDefault(false);
    button->setFocusPolicy(Qt::StrongFocus);
  }

  setTabOrder(&list_incoming_, &cmd_reset_);
  setTabOrder(&cmd_reset_, &cmd_hide_);
  setTabOrder(&cmd_hide_, &cmd_quit_);
  list_incoming_.setFocus();

  flush_.setSingleShot(true);
  flush_.setInterval(kFlushMilliseconds);
  connect(&flush_, &QTimer::timeout, this, [this] { FlushLines(); });

  connect(&cmd_reset_, &QPushButton::clicked, this, [this] { cmd_reset_Click(); });
  connect(&cmd_hide_, &QPushButton::clicked, this, [this] { cmd_hide_Click(); });
  connect(&cmd_quit_, &QPushButton::clicked, this, [this] { cmd_quit_Click(); });
}

void StatusWindow::AppendLine(const QString& line) {
  pending_.append(OneRow(line));
  if (pending_.size() > kMaxLines) {
    pending_.removeFirst();
  }
  if (!flush_.isActive()) {
    flush_.start();
  }
}

void StatusWindow::ClearLines() {
  pending_.clear();
  flush_.stop();
  list_incoming_.clear();
}

void StatusWindow::FlushLines() {
  flush_.stop();
  if (pending_.isEmpty()) {
    return;
  }
  const int excess = static_cast<int>(list_incoming_.count() + pending_.size()) - kMaxLines;
  if (excess > 0) {
    list_incoming_.model()->removeRows(0, std::min(excess, list_incoming_.count()));
  }
  list_incoming_.addItems(pending_);
  pending_.clear();
}

int StatusWindow::LineCount() const {
  return list_incoming_.count();
}

QString StatusWindow::Line(int row) const {
  const QListWidgetItem* item = list_incoming_.item(row);
  return item == nullptr ? QString() : item->text();
}

void StatusWindow::SetShutdown(std::function<void()> shutdown) {
  shutdown_ = std::move(shutdown);
}

void StatusWindow::Reveal() {
  showNormal();
  raise();
  activateWindow();
}

void StatusWindow::closeEvent(QCloseEvent* event) {
  // Closing always ends the service; putting the window away is Hide's job.
  event->accept();
  RunShutdown();
}

// Clear Log empties the on-screen list only; the activity log file is left alone.
void StatusWindow::cmd_reset_Click() {
  ClearLines();
}

void StatusWindow::cmd_hide_Click() {
  hide();
}

void StatusWindow::cmd_quit_Click() {
  RunShutdown();
}

void StatusWindow::RunShutdown() {
  if (shutdownStarted_ || !shutdown_) {
    return;
  }
  shutdownStarted_ = true;
  shutdown_();
}

QString OneRow(const QString& line) {
  if (!line.contains(QLatin1Char('\n')) && !line.contains(QLatin1Char('\r'))) {
    return line;
  }
  QString row = line;
  row.replace(QStringLiteral("\r\n"), QStringLiteral("\u21B5"));
  row.replace(QLatin1Char('\r'), QChar(0x21B5));
  row.replace(QLatin1Char('\n'), QChar(0x21B5));
  return row;
}

}  // namespace quillpost::window
