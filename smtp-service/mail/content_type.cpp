#include "mail/content_type.h"

#include <algorithm>
#include <array>
#include <utility>

namespace quillpost::smtp {
namespace {

using Entry = std::pair<std::string_view, std::string_view>;

// message/* types are left out: they may not be sent base64 encoded.
constexpr std::array kTypes = {
    Entry{"7z", "application/x-7z-compressed"},
    Entry{"avi", "video/x-msvideo"},
    Entry{"bmp", "image/bmp"},
    Entry{"csv", "text/csv"},
    Entry{"doc", "application/msword"},
    Entry{"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    Entry{"gif", "image/gif"},
    Entry{"gz", "application/gzip"},
    Entry{"htm", "text/html"},
    Entry{"html", "text/html"},
    Entry{"ics", "text/calendar"},
    Entry{"jpeg", "image/jpeg"},
    Entry{"jpg", "image/jpeg"},
    Entry{"json", "application/json"},
    Entry{"log", "text/plain"},
    Entry{"mov", "video/quicktime"},
    Entry{"mp3", "audio/mpeg"},
    Entry{"mp4", "video/mp4"},
    Entry{"odp", "application/vnd.oasis.opendocument.presentation"},
    Entry{"ods", "application/vnd.oasis.opendocument.spreadsheet"},
    Entry{"odt", "application/vnd.oasis.opendocument.text"},
    Entry{"ogg", "audio/ogg"},
    Entry{"pdf", "application/pdf"},
    Entry{"png", "image/png"},
    Entry{"ppt", "application/vnd.ms-powerpoint"},
    Entry{"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
    Entry{"rtf", "application/rtf"},
    Entry{"svg", "image/svg+xml"},
    Entry{"tar", "application/x-tar"},
    Entry{"tif", "image/tiff"},
    Entry{"tiff", "image/tiff"},
    Entry{"txt", "text/plain"},
    Entry{"wav", "audio/wav"},
    Entry{"webp", "image/webp"},
    Entry{"xls", "application/vnd.ms-excel"},
    Entry{"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    Entry{"xml", "application/xml"},
    Entry{"zip", "application/zip"},
};
static_assert(std::is_sorted(kTypes.begin(), kTypes.end(),
                             [](const Entry& a, const Entry& b) { return a.first < b.first; }));

}  // namespace

std::string ContentTypeForFileName(std::string_view fileName) {
  const std::size_t dot = fileName.rfind('.');
  if (dot == std::string_view::npos || dot == 0) {
    return "application/octet-stream";
  }
  std::string extension(fileName.substr(dot + 1));
  std::transform(extension.begin(), extension.end(), extension.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  const auto* found = std::lower_bound(
      kTypes.begin(), kTypes.end(), extension,
      [](const Entry& entry, const std::string& key) { return entry.first < key; });
  if (found != kTypes.end() && found->first == extension) {
    return std::string(found->second);
  }
  return "application/octet-stream";
}

}  // namespace quillpost::smtp
