#pragma once

// Path names: which store a queue lives in, and its name there.
//
//   kvr_mailer                          queue "kvr_mailer" in the default store
//   file:///srv/quillpost/kvr_mailer    queue "kvr_mailer" in the store /srv/quillpost
//
// A broker's amqp://user:pw@host:port/vhost/queue is read by
// broker/broker_address.h; ParseQueuePath and ParseStoreName refuse it, as
// they refuse every other scheme. BackendKindOf tells which backend a path
// name belongs to.

#include <string>
#include <string_view>

namespace quillpost::queue {

// Which backend keeps a queue: a store on the local disk (plain names and
// file://, and any unknown scheme, which the store then refuses by name) or
// a broker (amqp://, amqps://).
enum class BackendKind { Store, Broker };

// The one place that reads the backend from a path name or a store name.
BackendKind BackendKindOf(std::string_view pathName);

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

// The path name of queue queueName in the store named by storeName (as for
// ParseStoreName, or a broker's amqp://user:pw@host:port/vhost). A store
// folder is written as a file:// URL with every character outside
// A-Z a-z 0-9 - . _ ~ / written %XX. Throws QueueError when queueName is not a
// valid queue name or storeName is not a store.
std::string QueuePathIn(const std::string& storeName, const std::string& queueName);

// Writes every byte outside A-Z a-z 0-9 - . _ ~ and the characters of keep as %XX.
std::string PercentEncode(std::string_view text, std::string_view keep = {});

// The store that the relay's system service shares with the applications
// whose user is in its group.
inline constexpr const char* kSystemStoreFolder = "/var/spool/quillpost";

// $QUILLPOST_STORE; else the user's own store, $XDG_DATA_HOME/quillpost or
// ~/.local/share/quillpost, unless it does not exist yet and the system store
// exists and can be written; then the system store.
std::string DefaultStoreFolder();

}  // namespace quillpost::queue
