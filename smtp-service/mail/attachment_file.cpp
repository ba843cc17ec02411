#include "mail/attachment_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>

namespace quillpost::smtp {
namespace {

[[noreturn]] void Fail(int number, const std::string& path, const std::string& reason) {
  throw SendFailure(number, "attachment " + path + ": " + reason);
}

// The path with every symbolic link resolved; nothing when it cannot be.
std::optional<std::string> Resolved(const std::string& path, int* error = nullptr) {
  const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr),
                                                         &std::free);
  if (!real) {
    if (error != nullptr) {
      *error = errno;
    }
    return std::nullopt;
  }
  return std::string(real.get());
}

bool Inside(const std::string& path, const std::string& folder) {
  return folder == "/" || path == folder ||
         (path.starts_with(folder) && path.size() > folder.size() && path[folder.size()] == '/');
}

// Where the open file really is, which no later change of links can alter.
std::string OpenedPath(int fd, const std::string& resolved) {
  std::array<char, PATH_MAX> target{};
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = ::readlink(link.c_str(), target.data(), target.size() - 1);
  return length > 0 ? std::string(target.data(), static_cast<std::size_t>(length)) : resolved;
}

void CheckRules(const std::string& path, const std::string& opened, const struct stat& info,
                const AttachmentRules& rules) {
  if (rules.roots) {
    bool allowed = false;
    for (const std::string& root : *rules.roots) {
      const auto folder = Resolved(root);
      allowed = allowed || (folder && Inside(opened, *folder));
    }
    if (!allowed) {
      Fail(failure::kAttachmentUnreadable, path, "lies outside every folder of attachment_roots");
    }
  }
  for (const std::string& own : rules.forbidden) {
    struct stat ownInfo {};
    if (::stat(own.c_str(), &ownInfo) != 0) {
      continue;
    }
    const auto folder = S_ISDIR(ownInfo.st_mode) ? Resolved(own) : std::nullopt;
    if ((ownInfo.st_dev == info.st_dev && ownInfo.st_ino == info.st_ino) ||
        (folder && Inside(opened, *folder))) {
      Fail(failure::kAttachmentUnreadable, path, "is one of the relay's own files");
    }
  }
}

}  // namespace

AttachmentFile OpenAttachment(const std::string& path, const AttachmentRules& rules) {
  if (path.empty()) {
    Fail(failure::kAttachmentMissing, "\"\"", "no file name given");
  }
  if (!rules.refusal.empty()) {
    Fail(failure::kAttachmentUnreadable, path, rules.refusal);
  }
  int error = 0;
  const auto resolved = Resolved(path, &error);
  if (!resolved) {
    Fail(error == ENOENT || error == ENOTDIR ? failure::kAttachmentMissing
                                             : failure::kAttachmentUnreadable,
         path, std::strerror(error));
  }
  // Links are resolved above; one put in the file's place since then is refused.
  const int fd =
      ::open(resolved->c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) {
    error = errno;
    Fail(error == ENOENT || error == ENOTDIR ? failure::kAttachmentMissing
                                             : failure::kAttachmentUnreadable,
         path, std::strerror(error));
  }
  AttachmentFile attachment;
  attachment.file = posix::UniqueFd(fd);
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    Fail(failure::kAttachmentUnreadable, path, std::strerror(errno));
  }
  if (!S_ISREG(info.st_mode)) {
    Fail(failure::kAttachmentUnreadable, path,
         S_ISDIR(info.st_mode) ? "is a folder" : "is not a regular file");
  }
  CheckRules(path, OpenedPath(fd, *resolved), info, rules);
  attachment.fileName = std::filesystem::path(path).filename().string();
  attachment.size = static_cast<std::size_t>(info.st_size);
  return attachment;
}

std::vector<AttachmentFile> OpenAttachments(const std::vector<std::string>& paths,
                                            const AttachmentRules& rules) {
  std::vector<AttachmentFile> files;
  std::uint64_t total = 0;
  for (const std::string& path : paths) {
    files.push_back(OpenAttachment(path, rules));
    total += files.back().size;
    if (total > rules.maxTotalSize) {
      Fail(failure::kAttachmentUnreadable, path,
           "the attachments add up to more than " + std::to_string(rules.maxTotalSize) +
               " bytes (max_attachment_size)");
    }
  }
  return files;
}

}  // namespace quillpost::smtp
