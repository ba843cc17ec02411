#include "eventlog/syslog_socket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "posix/unique_fd.h"

namespace quillpost::eventlog {
namespace {

constexpr std::string_view kIdent = "quillpost";

// One datagram; the errno of the failure, or 0.
int SendDatagram(const sockaddr_un& address, std::string_view entry) {
  const posix::UniqueFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket.Valid() ||
      ::sendto(socket.Get(), entry.data(), entry.size(), MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
    return errno;
  }
  return 0;
}

bool SendOnStream(const sockaddr_un& address, std::string_view entry) {
  const posix::UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket.Valid() ||
      ::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return false;
  }
  // A stream logger takes entries ended by a NUL, as syslog(3) sends them.
  const std::string ended = std::string(entry) + '\0';
  for (std::size_t sent = 0; sent < ended.size();) {
    const ssize_t done =
        ::send(socket.Get(), ended.data() + sent, ended.size() - sent, MSG_NOSIGNAL);
    if (done < 0 && errno == EINTR) {
      continue;
    }
    if (done <= 0) {
      return false;
    }
    sent += static_cast<std::size_t>(done);
  }
  return true;
}

}  // namespace

std::string SyslogLine(int priority, std::string_view ident, std::string_view text,
                       std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  std::array<char, 32> stamp{};
  std::strftime(stamp.data(), stamp.size(), "%b %e %T", &local);
  return "<" + std::to_string(priority) + ">" + stamp.data() + " " + std::string(ident) + "[" +
         std::to_string(::getpid()) + "]: " + std::string(text);
}

bool SendSyslogEntry(const std::string& socketPath, std::string_view text) noexcept {
  try {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) {
      return false;
    }
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    const std::string entry = SyslogLine(LOG_USER | LOG_ERR, kIdent, text, std::time(nullptr));
    const int error = SendDatagram(address, entry);
    return error == 0 || (error == EPROTOTYPE && SendOnStream(address, entry));
  } catch (...) {
    return false;
  }
}

}  // namespace quillpost::eventlog
