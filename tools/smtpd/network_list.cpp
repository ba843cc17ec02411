#include "network_list.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <stdexcept>

#include "cli/config_lines.h"

namespace quillpost::smtpd {

std::optional<IpAddress> ParseIpAddress(std::string_view text) {
  const std::string copy(text);
  IpAddress address{};
  if (in_addr v4{}; ::inet_pton(AF_INET, copy.c_str(), &v4) == 1) {
    address[10] = 0xff;
    address[11] = 0xff;
    std::memcpy(address.data() + 12, &v4, 4);
    return address;
  }
  if (::inet_pton(AF_INET6, copy.c_str(), address.data()) == 1) {
    return address;
  }
  return std::nullopt;
}

bool IsLoopback(const IpAddress& address) {
  static constexpr IpAddress kIpv6Loopback{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  const bool mappedIpv4 =
      std::all_of(address.begin(), address.begin() + 10, [](std::uint8_t b) { return b == 0; }) &&
      address[10] == 0xff && address[11] == 0xff;
  return address == kIpv6Loopback || (mappedIpv4 && address[12] == 127);
}

NetworkList NetworkList::Parse(std::string_view text) {
  NetworkList list;
  while (!text.empty()) {
    const std::size_t comma = std::min(text.find(','), text.size());
    const std::string_view entry = cli::TrimSpaces(text.substr(0, comma));
    text.remove_prefix(std::min(comma + 1, text.size()));
    if (entry.empty()) {
      continue;
    }
    const std::size_t slash = entry.find('/');
    const auto base = ParseIpAddress(entry.substr(0, slash));
    if (!base) {
      throw std::invalid_argument("'" + std::string(entry) + "' is not a network");
    }
    const bool ipv4 = entry.substr(0, slash).find(':') == std::string_view::npos;
    Network network{*base, 128};
    if (slash != std::string_view::npos) {
      const std::string_view bits = entry.substr(slash + 1);
      int prefix = -1;
      const auto [end, error] = std::from_chars(bits.data(), bits.data() + bits.size(), prefix);
      if (bits.empty() || error != std::errc() || end != bits.data() + bits.size() || prefix < 0 ||
          prefix > (ipv4 ? 32 : 128)) {
        throw std::invalid_argument("'" + std::string(entry) + "' has a bad prefix length");
      }
      network.prefixBits = ipv4 ? prefix + 96 : prefix;
    }
    list.networks_.push_back(network);
  }
  return list;
}

bool NetworkList::Contains(const IpAddress& address) const {
  for (const Network& network : networks_) {
    bool inside = true;
    for (int bit = 0; bit < network.prefixBits && inside; ++bit) {
      const std::uint8_t mask = static_cast<std::uint8_t>(0x80 >> (bit % 8));
      inside = (address[bit / 8] & mask) == (network.base[bit / 8] & mask);
    }
    if (inside) {
      return true;
    }
  }
  return false;
}

}  // namespace quillpost::smtpd
