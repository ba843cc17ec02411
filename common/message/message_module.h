#pragma once

// What a whole-message request needs of GMime and GLib, as a module
// (quillpost-message.so) for the submission library: the summary, and the
// base64 form the request carries the message in. GMime and the libraries it
// brings (GLib, GIO, GPGME and more) cost a short-lived sending process several
// milliseconds to map, and only a whole-message request needs them.

#include <string>
#include <string_view>

#include "message/message_summary.h"

namespace quillpost::message {

struct MessageModule {
  int version;
  MessageSummary (*summarise)(std::string_view message);
  std::string (*encodeWholeMessage)(std::string_view message);  // document/whole_message.h
};

inline constexpr const char* kMessageModuleFile = "quillpost-message.so";
inline constexpr const char* kMessageModuleSymbol = "quillpost_message_module";
// Changes whenever MessageModule or MessageSummary does.
inline constexpr int kMessageModuleVersion = 2;

}  // namespace quillpost::message
