#pragma once

// Where a local server of the relay listens: a numeric IPv4 address and port
// ("127.0.0.1:9465") or a bracketed IPv6 one ("[::1]:9465"). Host names are
// refused: what a name resolves to may change, and the address a monitor
// reaches should not.

#include <optional>
#include <string>
#include <string_view>

namespace quillpost::relay {

struct ListenAddress {
  std::string host;  // numeric, without brackets
  int port = 0;
  bool ipv6 = false;

  // As it was written: 127.0.0.1:9465, [::1]:9465.
  std::string Text() const;
};

// Empty when text is not of the forms above; why says what is wrong.
std::optional<ListenAddress> ParseListenAddress(std::string_view text, std::string& why);

}  // namespace quillpost::relay
