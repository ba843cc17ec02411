// The entry of the window module quillpost-smtp-window.so.

#include <QApplication>
#include <QSocketNotifier>
#include <memory>
#include <utility>

#include "window/application.h"
#include "window/desktop.h"
#include "window/desktop_status_view.h"

namespace quillpost::window {
namespace {

class DesktopSession final : public Desktop {
 public:
  DesktopSession(int& argc, char** argv) : application_(MakeWindowedApplication(argc, argv)) {}

  relay::StatusView& View() override { return view_; }
  void SetShutdown(std::function<void()> shutdown) override {
    view_.SetShutdown(std::move(shutdown));
  }
  void ShowUnlessHidden() override { view_.ShowUnlessHidden(); }
  int Run(int descriptor, std::function<void()> onReady) override {
    QSocketNotifier notifier(descriptor, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&onReady] { onReady(); });
    return QApplication::exec();
  }

 private:
  // The widgets are made after, and go before, the application object they need.
  std::unique_ptr<QApplication> application_;
  DesktopStatusView view_;
};

std::unique_ptr<Desktop> OpenDesktop(int& argc, char** argv) {
  if (!UseWindow(false)) {
    return nullptr;
  }
  return std::make_unique<DesktopSession>(argc, argv);
}

}  // namespace
}  // namespace quillpost::window

extern "C" __attribute__((visibility("default")))
const quillpost::window::DesktopModule quillpost_desktop_module{
    quillpost::window::kDesktopModuleVersion, &quillpost::window::OpenDesktop};
