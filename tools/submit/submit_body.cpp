#include "submit_body.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "quillpost/submission.h"

namespace quillpost::submit {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const {
    std::fclose(file);  // NOLINT(cppcoreguidelines-owning-memory): the unique_ptr owns it
  }
};

// Reads up to one byte past the largest body a queue takes, so that an
// endless source (/dev/zero, a runaway pipe) is refused instead of read for
// as long as memory lasts.
std::string ReadAll(std::FILE* file, const std::string& what) {
  std::string text;
  char buffer[65536];
  std::size_t got = 0;
  while (text.size() <= kMaxPlainDocumentBytes &&
         (got = std::fread(
              buffer, 1, std::min(sizeof buffer, kMaxPlainDocumentBytes + 1 - text.size()), file)) >
             0) {
    text.append(buffer, got);
  }
  if (text.size() > kMaxPlainDocumentBytes) {
    throw UsageError(what + " is too large: a request can carry at most " +
                     std::to_string(kMaxPlainDocumentBytes) + " bytes");
  }
  if (std::ferror(file) != 0) {
    throw UsageError("cannot read " + what + ": " + std::strerror(errno));
  }
  return text;
}

std::string ReadFile(const std::string& path) {
  if (path == "-") {
    return ReadAll(stdin, "standard input");
  }
  const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    throw UsageError("cannot open body file '" + path + "': " + std::strerror(errno));
  }
  return ReadAll(file.get(), "body file '" + path + "'");
}

}  // namespace

std::optional<std::string> ReadBody(const SubmitOptions& options) {
  switch (options.bodySource) {
    case BodySource::Text:
      return options.body;
    case BodySource::File:
      return ReadFile(options.bodyFile);
    case BodySource::Input:
      break;
  }
  // A terminal would wait for typing that a script never does.
  if (isatty(STDIN_FILENO) != 0) {
    return std::nullopt;
  }
  return ReadAll(stdin, "standard input");
}

}  // namespace quillpost::submit
