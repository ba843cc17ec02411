#include "window/status_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QPushButton>
#include <QSet>
#include <vector>

namespace quillpost::window {
namespace {

template <typename Control>
Control& Find(StatusWindow& window, const char* name) {
  auto* control = window.findChild<Control*>(QString::fromLatin1(name));
  if (control == nullptr) {
    throw std::runtime_error(std::string("no control ") + name);
  }
  return *control;
}

TEST(StatusWindowLayout, MatchesTheFormAtFifteenTwipsPerPixel) {
  StatusWindow window;
  EXPECT_EQ(window.windowTitle(), QStringLiteral("KVR Quillpost Service"));
  EXPECT_EQ(window.size(), QSize(376, 256));
  EXPECT_EQ(window.minimumSize(), window.maximumSize());

  struct Expected {
    const char* name;
    QRect pixels;
    const char* caption;
  };
  const std::vector<Expected> expected = {
      {"list_incoming", {8, 8, 361, 199}, nullptr},
      {"cmd_reset", {8, 216, 113, 33}, "Clear Log"},
      {"cmd_hide", {128, 216, 121, 33}, "Hide"},
      {"cmd_quit", {256, 216, 113, 33}, "Quit"},
  };
  for (const Expected& control : expected) {
    SCOPED_TRACE(control.name);
    if (control.caption == nullptr) {
      EXPECT_EQ(Find<QListWidget>(window, control.name).geometry(), control.pixels);
    } else {
      auto& button = Find<QPushButton>(window, control.name);
      EXPECT_EQ(button.geometry(), control.pixels);
      EXPECT_EQ(button.text(), QString::fromLatin1(control.caption));
    }
  }
  EXPECT_FALSE(Find<QListWidget>(window, "list_incoming").isSortingEnabled());
}

TEST(StatusWindowLayout, TabsFromTheListThroughTheButtonsLeftToRight) {
  StatusWindow window;
  const QSet<QString> controls{"list_incoming", "cmd_reset", "cmd_hide", "cmd_quit"};
  QWidget* first = &Find<QListWidget>(window, "list_incoming");
  std::vector<QString> order;
  QWidget* widget = first;
  do {
    if (controls.contains(widget->objectName())) {
      order.push_back(widget->objectName());
    }
    widget = widget->nextInFocusChain();
  } while (widget != first);
  EXPECT_EQ(order, (std::vector<QString>{"list_incoming", "cmd_reset", "cmd_hide", "cmd_quit"}));
}

TEST(StatusWindowLayout, CarriesBothSizesOfItsIcon) {
  StatusWindow window;
  const QList<QSize> sizes = window.windowIcon().availableSizes();
  EXPECT_TRUE(sizes.contains(QSize(16, 16)));
  EXPECT_TRUE(sizes.contains(QSize(32, 32)));
}

// Runs the event loop until `done` or two seconds have passed.
template <typename Condition>
bool RunEventsUntil(Condition done) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < 2000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return done();
}

TEST(StatusWindowList, ShowsLinesInOrderAndClearLogEmptiesIt) {
  StatusWindow window;
  window.AppendLine("FROM: a@example.org");
  window.AppendLine("TO: b@example.org");
  window.AppendLine("SENT");
  ASSERT_TRUE(RunEventsUntil([&] { return window.LineCount() == 3; }))
      << "waiting lines are shown by the event loop";
  EXPECT_EQ(window.Line(0), QStringLiteral("FROM: a@example.org"));
  EXPECT_EQ(window.Line(2), QStringLiteral("SENT"));

  window.AppendLine("not shown yet");
  Find<QPushButton>(window, "cmd_reset").click();
  window.FlushLines();
  EXPECT_EQ(window.LineCount(), 0) << "Clear Log also drops lines not shown yet";
  window.AppendLine("FROM: c@example.org");
  window.FlushLines();
  EXPECT_EQ(window.Line(0), QStringLiteral("FROM: c@example.org"));
}

TEST(StatusWindowList, KeepsOnlyTheNewestLines) {
  constexpr int kMax = StatusWindow::kMaxLines;
  StatusWindow window;
  for (int i = 0; i < kMax + 5; ++i) {
    window.AppendLine(QString::number(i));
  }
  window.FlushLines();
  ASSERT_EQ(window.LineCount(), kMax);
  EXPECT_EQ(window.Line(0), QStringLiteral("5"));
  EXPECT_EQ(window.Line(kMax - 1), QString::number(kMax + 4));

  for (int i = 0; i < 3; ++i) {
    window.AppendLine(QStringLiteral("later %1").arg(i));
  }
  window.FlushLines();
  ASSERT_EQ(window.LineCount(), kMax);
  EXPECT_EQ(window.Line(0), QStringLiteral("8"));
  EXPECT_EQ(window.Line(kMax - 1), QStringLiteral("later 2"));
}

TEST(StatusWindowList, ShowsAMultiLineValueAsOneRow) {
  StatusWindow window;
  window.AppendLine("BODY: Hello,\r\nsee you\nsoon\r");
  window.FlushLines();
  ASSERT_EQ(window.LineCount(), 1);
  EXPECT_EQ(window.Line(0), QStringLiteral("BODY: Hello,\u21B5see you\u21B5soon\u21B5"));
}

TEST(StatusWindowButtons, HideKeepsTheListForTheNextShow) {
  StatusWindow window;
  window.AppendLine("SENT");
  window.FlushLines();
  window.show();
  Find<QPushButton>(window, "cmd_hide").click();
  EXPECT_FALSE(window.isVisible());
  window.Reveal();
  EXPECT_TRUE(window.isVisible());
  EXPECT_EQ(window.LineCount(), 1);
}

TEST(StatusWindowButtons, QuitAndCloseRunTheShutdownOnce) {
  {
    StatusWindow window;
    int shutdowns = 0;
    window.SetShutdown([&] { ++shutdowns; });
    window.show();
    Find<QPushButton>(window, "cmd_quit").click();
    EXPECT_EQ(shutdowns, 1);
    window.close();
    EXPECT_EQ(shutdowns, 1) << "closing after Quit must not shut down twice";
  }
  {
    StatusWindow window;
    int shutdowns = 0;
    window.SetShutdown([&] { ++shutdowns; });
    window.show();
    EXPECT_TRUE(window.close()) << "closing cannot be refused";
    EXPECT_EQ(shutdowns, 1);
  }
}

}  // namespace
}  // namespace quillpost::window
