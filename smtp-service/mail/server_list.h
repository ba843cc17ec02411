#pragma once

// The relay hosts of one mail: "host[:port]" items separated by commas or
// blanks, tried in order.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillpost::smtp {

struct ServerAddress {
  std::string host;         // as libcurl takes it (an IPv6 address without brackets)
  std::optional<int> port;  // unset: the port of the connection settings
  std::string item;         // as written in the list, for log lines
};

// The items of a setting's list: separated by commas, blanks or tabs, empty
// ones left out.
std::vector<std::string> ListItems(std::string_view list);

// Throws SendFailure: kHostNotFound for an empty list or a host that is not a
// host name or address, kSettingsUnusable for a port that is not 1 to 65535.
std::vector<ServerAddress> ParseServerList(const std::string& list);

}  // namespace quillpost::smtp
