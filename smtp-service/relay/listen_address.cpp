#include "relay/listen_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <charconv>

namespace quillpost::relay {

std::string ListenAddress::Text() const {
  return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::optional<ListenAddress> ParseListenAddress(std::string_view text, std::string& why) {
  ListenAddress address;
  std::string_view port;
  if (text.starts_with('[')) {
    const auto close = text.find("]:");
    if (close == std::string_view::npos) {
      why = "expected [IPv6 address]:port";
      return std::nullopt;
    }
    address.host = text.substr(1, close - 1);
    address.ipv6 = true;
    port = text.substr(close + 2);
  } else {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) {
      why = "expected address:port";
      return std::nullopt;
    }
    address.host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  in6_addr bytes{};
  if (::inet_pton(address.ipv6 ? AF_INET6 : AF_INET, address.host.c_str(), &bytes) != 1) {
    why = address.ipv6 ? "not a numeric IPv6 address"
                       : "not a numeric IPv4 address (write IPv6 addresses in brackets)";
    return std::nullopt;
  }
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), address.port);
  if (port.empty() || error != std::errc() || end != port.data() + port.size() ||
      address.port < 1 || address.port > 65535) {
    why = "expected a port from 1 to 65535";
    return std::nullopt;
  }
  return address;
}

}  // namespace quillpost::relay
