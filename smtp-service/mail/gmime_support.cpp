#include "mail/gmime_support.h"

namespace quillpost::smtp {

void EnsureGMime() {
  // A function-local static is initialised once, and other threads wait for it.
  [[maybe_unused]] static const bool initialised = [] {
    g_mime_init();
    return true;
  }();
}

}  // namespace quillpost::smtp
