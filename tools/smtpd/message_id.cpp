#include "message_id.h"

#include <sys/random.h>

#include <array>
#include <cstdint>
#include <random>

namespace quillpost::smtpd {

std::string NewMessageId() {
  std::array<std::uint8_t, 8> bytes{};
  if (::getrandom(bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
    std::random_device device;
    for (std::uint8_t& byte : bytes) {
      byte = static_cast<std::uint8_t>(device());
    }
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string id;
  for (const std::uint8_t byte : bytes) {
    id += kHex[byte >> 4];
    id += kHex[byte & 0xf];
  }
  return id;
}

}  // namespace quillpost::smtpd
