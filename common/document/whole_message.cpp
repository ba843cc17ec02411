#include "document/whole_message.h"

#include <glib.h>

#include <memory>
#include <vector>

#include "base64_alphabet.h"
#include "message/sendable_message.h"

namespace quillpost::document {
namespace {

struct GFree {
  void operator()(void* memory) const { g_free(memory); }
};

using detail::IsBase64Digit;

// Every character a base64 digit, padding only at the end.
bool IsBase64(std::string_view text) {
  if (text.size() % 4 != 0) {
    return false;
  }
  std::size_t digits = text.size();
  for (int pad = 0; pad < 2 && digits > 0 && text[digits - 1] == '='; ++pad) {
    --digits;
  }
  for (std::size_t i = 0; i < digits; ++i) {
    if (!IsBase64Digit(text[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string EncodeWholeMessage(std::string_view message) {
  if (message.empty()) {
    return {};
  }
  const std::unique_ptr<gchar, GFree> encoded(
      g_base64_encode(reinterpret_cast<const guchar*>(message.data()), message.size()));
  return encoded.get();
}

std::optional<std::string> ReadWholeMessage(const RequestReader& request) {
  std::vector<std::string> elements = request.All(kWholeMessageTag);
  if (elements.empty()) {
    return std::nullopt;
  }
  const std::string& text = elements.front();
  if (!IsBase64(text)) {
    throw DocumentError("the " + std::string(kWholeMessageTag) + " element is not base64");
  }
  gsize size = 0;
  const std::unique_ptr<guchar, GFree> decoded(text.empty() ? nullptr
                                                            : g_base64_decode(text.c_str(), &size));
  try {
    return message::SendableMessage({reinterpret_cast<const char*>(decoded.get()), size});
  } catch (const message::UnsendableMessage& error) {
    throw DocumentError("the " + std::string(kWholeMessageTag) +
                        " element cannot be sent: " + error.what());
  }
}

}  // namespace quillpost::document
