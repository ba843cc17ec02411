#include "activitylog/activity_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <string_view>

#include "activitylog/log_entry.h"
#include "eventlog/event_log.h"
#include "posix/unique_fd.h"

namespace quillpost::activitylog {
namespace {

// Closes the descriptor at the end of the entry; a failed close is a failed
// entry (some file systems only report a write error there). Opening never
// waits: a FIFO or a device at the log's path would otherwise hold the relay
// in open() or write(); anything but a regular file is refused.
class AppendFile {
 public:
  explicit AppendFile(const std::string& path)
      : fd_(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                   0644)) {
    struct stat status {};
    if (fd_.Valid() && (::fstat(fd_.Get(), &status) != 0 || !S_ISREG(status.st_mode))) {
      fd_.Reset();
    }
  }

  bool IsOpen() const { return fd_.Valid(); }

  // Writes the whole of text. The first write normally takes it all; should the
  // kernel take less, the rest follows rather than leaving half a line behind.
  bool WriteAll(std::string_view text) const {
    while (!text.empty()) {
      const ssize_t written = ::write(fd_.Get(), text.data(), text.size());
      if (written < 0) {
        if (errno == EINTR) {
          continue;
        }
        return false;
      }
      if (written == 0) {
        return false;
      }
      text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
  }

  bool Close() { return ::close(fd_.Release()) == 0; }

 private:
  posix::UniqueFd fd_;
};

bool Append(const std::string& path, std::string_view line) {
  AppendFile file(path);
  if (!file.IsOpen()) {
    return false;
  }
  const bool written = file.WriteAll(line);
  const bool closed = file.Close();
  return written && closed;
}

}  // namespace

void ActivityLog::WriteLog(const std::string& message, const std::string& data) const noexcept {
  bool written = false;
  try {
    written = Append(path_, FormatEntry(std::time(nullptr), message, data));
  } catch (...) {
    written = false;  // out of memory while building the line: the entry is lost
  }
  if (!written) {
    eventlog::ReportError(kUnableToWrite);
  }
}

}  // namespace quillpost::activitylog
