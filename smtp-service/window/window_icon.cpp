#include "window/window_icon.h"

#include <QString>

namespace quillpost::window {

QIcon QuillpostIcon() {
  QIcon icon;
  icon.addFile(QStringLiteral(":/quillpost/icons/quillpost-16.png"), QSize(16, 16));
  icon.addFile(QStringLiteral(":/quillpost/icons/quillpost-32.png"), QSize(32, 32));
  return icon;
}

}  // namespace quillpost::window
