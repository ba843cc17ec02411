#pragma once

// Networks written as "192.0.2.0/24, 2001:db8::/32, 127.0.0.1": who may
// submit without authenticating (allow_networks).

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillpost::smtpd {

// An address of either family as 16 octets: IPv4 addresses as IPv4-mapped
// IPv6 addresses (::ffff:192.0.2.1), so one list holds both.
using IpAddress = std::array<std::uint8_t, 16>;

// Empty when text is not a numeric IPv4 or IPv6 address.
std::optional<IpAddress> ParseIpAddress(std::string_view text);
bool IsLoopback(const IpAddress& address);

struct Network {
  IpAddress base{};
  int prefixBits = 128;  // of the 16-octet form
};

class NetworkList {
 public:
  // Throws std::invalid_argument naming the entry that is not a network.
  static NetworkList Parse(std::string_view text);

  bool Contains(const IpAddress& address) const;
  bool Empty() const { return networks_.empty(); }

 private:
  std::vector<Network> networks_;
};

}  // namespace quillpost::smtpd
