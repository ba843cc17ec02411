#pragma once

// The status window: the activity list that mail dispatch writes to, and the
// Clear Log, Hide and Quit buttons. Quit and closing the window both run the
// service's shutdown, which the owner installs with SetShutdown.

#include <QListWidget>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <functional>

class QCloseEvent;

namespace quillpost::window {

inline constexpr const char* kWindowCaption = "KVR Quillpost Service";

class StatusWindow : public QWidget {
 public:
  // The list keeps only the newest lines; a service that runs for months would
  // otherwise grow it without bound.
  static constexpr int kMaxLines = 10000;

  explicit StatusWindow(QWidget* parent = nullptr);

  // How long new lines wait to be shown, so that a busy service lays out the
  // list a few times a second rather than once per mail.
  static constexpr int kFlushMilliseconds = 50;

  // Adds one line at the end of the list, dropping the oldest lines beyond
  // kMaxLines. Line breaks inside the text are shown as one line.
  void AppendLine(const QString& line);
  void ClearLines();
  // Shows the waiting lines now rather than when their time is up.
  void FlushLines();
  // What the list shows.
  [[nodiscard]] int LineCount() const;
  [[nodiscard]] QString Line(int row) const;

  // What Quit and closing the window run. It runs at most once; without one,
  // closing only closes the window.
  void SetShutdown(std::function<void()> shutdown);

  // Brings the window back from hiding, in front of others. Not modal.
  void Reveal();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void cmd_reset_Click();
  void cmd_hide_Click();
  void cmd_quit_Click();
  void RunShutdown();

  QListWidget list_incoming_{this};
  QPushButton cmd_reset_{QStringLiteral("Clear Log"), this};
  QPushButton cmd_hide_{QStringLiteral("Hide"), this};
  QPushButton cmd_quit_{QStringLiteral("Quit"), this};
  QStringList pending_;
  QTimer flush_{this};
  std::function<void()> shutdown_;
  bool shutdownStarted_ = false;
};

// The text a status line shows: carriage returns and line feeds become a
// visible mark so that every status line stays one row of the list.
[[nodiscard]] QString OneRow(const QString& line);

}  // namespace quillpost::window
