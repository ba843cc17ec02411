#pragma once

// The summary of a message as a module (quillpost-message.so), for the
// submission library: GMime and the libraries it brings (GLib, GIO, GPGME and
// more) cost a short-lived sending process several milliseconds to map, and
// only a whole-message request needs them.

#include <string_view>

#include "message/message_summary.h"

namespace quillpost::message {

struct MessageModule {
  int version;
  MessageSummary (*summarise)(std::string_view message);
};

inline constexpr const char* kMessageModuleFile = "quillpost-message.so";
inline constexpr const char* kMessageModuleSymbol = "quillpost_message_module";
// Changes whenever MessageModule or MessageSummary does.
inline constexpr int kMessageModuleVersion = 1;

}  // namespace quillpost::message
