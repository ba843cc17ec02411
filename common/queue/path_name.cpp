#include "queue/path_name.h"

#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "queue/queue.h"

namespace quillpost::queue {
namespace {

constexpr std::size_t kMaxQueueNameLength = 128;
constexpr std::string_view kFileScheme = "file://";

std::string Normalise(const std::filesystem::path& folder) {
  std::filesystem::path absolute = folder;
  if (!folder.is_absolute()) {
    std::error_code error;
    const std::filesystem::path here = std::filesystem::current_path(error);
    if (error) {
      throw QueueError("cannot resolve the relative store folder '" + folder.string() +
                       "': " + error.message());
    }
    absolute = here / folder;
  }
  std::string text = absolute.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') {
    text.pop_back();
  }
  return text;
}

// The folder part of a file:// URL: "file:///a/b" gives "/a/b".
std::string FileUrlPath(const std::string& url) {
  const std::string_view rest = std::string_view(url).substr(kFileScheme.size());
  if (rest.empty() || rest.front() != '/') {
    throw QueueError("path name '" + url +
                     "' must be file:// followed by an absolute path (file:///folder/queue)");
  }
  return PercentDecode(rest, url);
}

// "amqp" for "amqp://...", empty when text has no scheme.
std::string SchemeOf(const std::string& text) {
  const std::size_t colon = text.find("://");
  if (colon == std::string::npos || colon == 0) {
    return {};
  }
  for (std::size_t i = 0; i < colon; ++i) {
    const char c = text[i];
    const bool ok = std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
    if (!ok) {
      return {};
    }
  }
  return text.substr(0, colon);
}

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    return home;
  }
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir) {
    return found->pw_dir;
  }
  throw QueueError("cannot find the default queue store: neither QUILLPOST_STORE nor HOME is set");
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

}  // namespace

BackendKind BackendKindOf(std::string_view pathName) {
  return pathName.starts_with("amqp://") || pathName.starts_with("amqps://") ? BackendKind::Broker
                                                                             : BackendKind::Store;
}

std::string PercentEncode(std::string_view text, std::string_view keep) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '.' || c == '~' ||
                       keep.find(c) != std::string_view::npos;
    if (plain) {
      out.push_back(c);
    } else {
      out += {'%', kHex[byte >> 4], kHex[byte & 0xF]};
    }
  }
  return out;
}

std::string RedactPathName(const std::string& pathName) {
  const std::size_t scheme = pathName.find("://");
  if (scheme == std::string::npos) {
    return pathName;
  }
  const std::size_t start = scheme + 3;
  const std::size_t end = pathName.find('/', start);
  const std::size_t at = pathName.rfind('@', end == std::string::npos ? pathName.size() : end);
  if (at == std::string::npos || at < start) {
    return pathName;
  }
  return pathName.substr(0, start) + pathName.substr(at + 1);
}

std::string PercentDecode(std::string_view text, const std::string& whole) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\0') {
      // The C library would end the name there, naming another file.
      throw QueueError("path name '" + whole + "' contains a NUL character");
    }
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    const int high = i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
    const int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
    if (high < 0 || low < 0) {
      throw QueueError("path name '" + whole + "' has a '%' not followed by two hex digits");
    }
    const char decoded = static_cast<char>(high * 16 + low);
    if (decoded == '\0') {
      throw QueueError("path name '" + whole + "' encodes a NUL character");
    }
    out.push_back(decoded);
    i += 2;
  }
  return out;
}

bool IsValidQueueName(std::string_view name) {
  if (name.empty() || name.size() > kMaxQueueNameLength || name.front() == '.' ||
      name.front() == '-') {
    return false;
  }
  for (const char c : name) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-' || c == '.';
    if (!ok) {
      return false;
    }
  }
  return true;
}

std::string DefaultStoreFolder() {
  if (const char* store = std::getenv("QUILLPOST_STORE"); store != nullptr && *store != '\0') {
    return Normalise(store);
  }
  const char* data = std::getenv("XDG_DATA_HOME");
  std::string own = data != nullptr && *data == '/'
                        ? Normalise(std::filesystem::path(data) / "quillpost")
                        : Normalise(std::filesystem::path(HomeFolder()) / ".local/share/quillpost");
  // A user without a store of his own who may write the system service's
  // shared store (a member of its group) sends to that one.
  if (::access((own + "/queues.db").c_str(), F_OK) != 0 &&
      ::access((std::string(kSystemStoreFolder) + "/queues.db").c_str(), R_OK | W_OK) == 0) {
    return kSystemStoreFolder;
  }
  return own;
}

QueueLocation ParseQueuePath(const std::string& pathName) {
  const std::string scheme = SchemeOf(pathName);
  if (scheme.empty()) {
    if (!IsValidQueueName(pathName)) {
      throw QueueError("'" + pathName +
                       "' is not a queue path name: a queue name has 1 to 128 of the characters "
                       "A-Z a-z 0-9 _ - . and does not start with '.' or '-'; a queue of another "
                       "store is written file:///store-folder/queue-name");
    }
    return {DefaultStoreFolder(), pathName};
  }
  if (scheme != "file") {
    throw QueueError("path name '" + RedactPathName(pathName) + "' uses the scheme '" + scheme +
                     "', which is not a store (known: plain names, file://, amqp://, amqps://)");
  }
  const std::string path = FileUrlPath(pathName);
  const std::size_t slash = path.rfind('/');
  const std::string name = path.substr(slash + 1);
  if (!IsValidQueueName(name)) {
    throw QueueError("path name '" + pathName + "' does not end in a valid queue name");
  }
  return {Normalise(slash == 0 ? std::string("/") : path.substr(0, slash)), name};
}

std::string ParseStoreName(const std::string& storeName) {
  if (storeName.empty()) {
    return DefaultStoreFolder();
  }
  const std::string scheme = SchemeOf(storeName);
  if (scheme.empty()) {
    if (storeName.find('\0') != std::string::npos) {
      throw QueueError("store folder '" + storeName + "' contains a NUL character");
    }
    return Normalise(storeName);
  }
  if (scheme != "file") {
    throw QueueError("store '" + RedactPathName(storeName) + "' uses the scheme '" + scheme +
                     "', which is not a store folder");
  }
  return Normalise(FileUrlPath(storeName));
}

std::string QueuePathIn(const std::string& storeName, const std::string& queueName) {
  if (!IsValidQueueName(queueName)) {
    throw QueueError("'" + queueName + "' is not a queue name");
  }
  if (BackendKindOf(storeName) == BackendKind::Broker) {
    // The broker's name is a URL already; a queue name needs no escapes.
    std::string_view broker(storeName);
    while (broker.ends_with('/')) {
      broker.remove_suffix(1);
    }
    return std::string(broker) + "/" + queueName;
  }
  const std::string folder = ParseStoreName(storeName);
  return "file://" + PercentEncode(folder == "/" ? std::string() : folder, "/") + "/" + queueName;
}

}  // namespace quillpost::queue
