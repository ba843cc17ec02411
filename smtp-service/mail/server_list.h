#pragma once

// The relay hosts of one mail: "host[:port]" items separated by commas or
// blanks, tried in order.

#include <optional>
#include <string>
#include <vector>

namespace quillpost::smtp {

struct ServerAddress {
  std::string host;         // as libcurl takes it (an IPv6 address without brackets)
  std::optional<int> port;  // unset: the port of the connection settings
  std::string item;         // as written in the list, for log lines
};

// Throws SendFailure: kHostNotFound for an empty list or a host that is not a
// host name or address, kSettingsUnusable for a port that is not 1 to 65535.
std::vector<ServerAddress> ParseServerList(const std::string& list);

}  // namespace quillpost::smtp
