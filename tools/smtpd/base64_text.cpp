#include "base64_text.h"

#include <openssl/evp.h>

#include <vector>

namespace quillpost::smtpd {

std::string EncodeBase64(std::string_view bytes) {
  std::vector<unsigned char> out(4 * ((bytes.size() + 2) / 3) + 1);
  const int length =
      EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                      static_cast<int>(bytes.size()));
  return std::string(reinterpret_cast<const char*>(out.data()), static_cast<std::size_t>(length));
}

std::optional<std::string> DecodeBase64(std::string_view text) {
  if (text.size() % 4 != 0 || text.size() > std::size_t{64} * 1024) {
    return std::nullopt;
  }
  std::vector<unsigned char> out(text.size() / 4 * 3 + 1);
  const int length =
      EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<int>(text.size()));
  if (length < 0) {
    return std::nullopt;
  }
  // EVP_DecodeBlock counts the padding as zero octets.
  std::size_t padding = 0;
  if (text.ends_with("==")) {
    padding = 2;
  } else if (text.ends_with('=')) {
    padding = 1;
  }
  return std::string(reinterpret_cast<const char*>(out.data()),
                     static_cast<std::size_t>(length) - padding);
}

}  // namespace quillpost::smtpd
