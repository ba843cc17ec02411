// Any config text must either apply or raise UsageError; nothing else may
// escape, and an accepted text leaves settings within their ranges.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "relay/config_file.h"
#include "relay/setting_keys.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  quillpost::relay::Settings settings;
  try {
    quillpost::relay::ApplyConfigText(settings, in, "fuzz.conf");
  } catch (const quillpost::relay::UsageError& error) {
    if (std::string(error.what()).rfind("fuzz.conf", 0) != 0) {
      std::abort();  // every complaint names the file
    }
    return 0;
  }
  const int port = settings.connection.port;
  if (port < 1 || port > 65535 || settings.retryAllowance < 1 ||
      settings.retrySwapInterval.count() < 10) {
    std::abort();
  }
  return 0;
}
