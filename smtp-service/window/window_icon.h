#pragma once

// The service's own icon, a 16x16 and a 32x32 image compiled into the program.
// The window shows it in its caption and the tray shows it in the notification area.

#include <QIcon>

namespace quillpost::window {

[[nodiscard]] QIcon QuillpostIcon();

}  // namespace quillpost::window
