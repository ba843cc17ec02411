#pragma once

// Path names: which store a queue lives in, and its name there.
//
//   kvr_mailer                          queue "kvr_mailer" in the default store
//   file:///srv/quillpost/kvr_mailer    queue "kvr_mailer" in the store /srv/quillpost
//
// A broker's amqp://user:pw@host:port/vhost/queue is read by broker_address.h;
// the functions here refuse it, as they refuse every other scheme.

#include <string>
#include <string_view>

namespace quillpost::queue {

struct QueueLocation {
  std::string storeFolder;  // absolute, normalised
  std::string queueName;
};

// A queue name: 1 to 128 characters from A-Z a-z 0-9 _ - . that does not
// start with '.' or '-'.
bool IsValidQueueName(std::string_view name);

// Throws QueueError naming what is wrong with pathName.
QueueLocation ParseQueuePath(const std::string& pathName);

// The store named by storeName: empty for the default store, a folder (absolute
// or relative to the working directory) or a file:// URL of a folder. Throws
// QueueError.
std::string ParseStoreName(const std::string& storeName);

// Undoes %XX escapes. Throws QueueError naming whole (the path name as it may
// be shown) when an escape is malformed or encodes a NUL character.
std::string PercentDecode(std::string_view text, const std::string& whole);

// The store that the relay's system service shares with the applications
// whose user is in its group.
inline constexpr const char* kSystemStoreFolder = "/var/spool/quillpost";

// $QUILLPOST_STORE; else the user's own store, $XDG_DATA_HOME/quillpost or
// ~/.local/share/quillpost, unless it does not exist yet and the system store
// exists and can be written; then the system store.
std::string DefaultStoreFolder();

}  // namespace quillpost::queue
