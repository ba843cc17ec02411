#pragma once

// The password of a broker path name that names a user but no password
// (amqp://user@host/...): read from the file that $QUILLPOST_BROKER_PASSWORD_FILE
// names, so that it never has to stand on a command line.

#include <string>

namespace quillpost::queue {

inline constexpr const char* kBrokerPasswordFileVariable = "QUILLPOST_BROKER_PASSWORD_FILE";

// The file's first line; empty when the variable is unset or empty. Throws
// QueueError (naming the file, never its content) when it cannot be read.
std::string BrokerPasswordFromFile();

}  // namespace quillpost::queue
