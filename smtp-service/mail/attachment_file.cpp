#include "mail/attachment_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "mail/outgoing_mail.h"

namespace quillpost::smtp {
namespace {

[[noreturn]] void Fail(int number, const std::string& path, const std::string& reason) {
  throw SendFailure(number, "attachment " + path + ": " + reason);
}

}  // namespace

AttachmentFile OpenAttachment(const std::string& path) {
  if (path.empty()) {
    Fail(failure::kAttachmentMissing, "\"\"", "no file name given");
  }
  EnsureGMime();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    const int error = errno;
    Fail(error == ENOENT || error == ENOTDIR ? failure::kAttachmentMissing
                                             : failure::kAttachmentUnreadable,
         path, std::strerror(error));
  }
  AttachmentFile attachment;
  attachment.content = Own(g_mime_stream_fs_new(fd));  // closes fd when released
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    Fail(failure::kAttachmentUnreadable, path, std::strerror(errno));
  }
  if (!S_ISREG(info.st_mode)) {
    Fail(failure::kAttachmentUnreadable, path,
         S_ISDIR(info.st_mode) ? "is a folder" : "is not a regular file");
  }
  attachment.fileName = std::filesystem::path(path).filename().string();
  attachment.size = static_cast<std::size_t>(info.st_size);
  return attachment;
}

}  // namespace quillpost::smtp
