#include "mail/attachment_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "mail/outgoing_mail.h"

namespace quillpost::smtp {
namespace {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

[[noreturn]] void Fail(int number, const std::string& path, const std::string& reason) {
  throw SendFailure(number, "attachment " + path + ": " + reason);
}

}  // namespace

AttachmentFile ReadAttachment(const std::string& path) {
  if (path.empty()) {
    Fail(failure::kAttachmentMissing, "\"\"", "no file name given");
  }
  const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (file.get() < 0) {
    const int error = errno;
    Fail(error == ENOENT || error == ENOTDIR ? failure::kAttachmentMissing
                                             : failure::kAttachmentUnreadable,
         path, std::strerror(error));
  }
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) {
    Fail(failure::kAttachmentUnreadable, path, std::strerror(errno));
  }
  if (!S_ISREG(info.st_mode)) {
    Fail(failure::kAttachmentUnreadable, path,
         S_ISDIR(info.st_mode) ? "is a folder" : "is not a regular file");
  }
  AttachmentFile attachment;
  attachment.fileName = std::filesystem::path(path).filename().string();
  attachment.content.reserve(static_cast<std::size_t>(info.st_size));
  char buffer[65536];
  while (true) {
    const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      Fail(failure::kAttachmentUnreadable, path, std::strerror(errno));
    }
    if (got == 0) {
      break;
    }
    attachment.content.append(buffer, static_cast<std::size_t>(got));
  }
  return attachment;
}

}  // namespace quillpost::smtp
