#include "posix/event_fd.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace quillpost::posix {

UniqueFd NewEpoll() {
  return UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
}

UniqueFd NewEventFd() {
  return UniqueFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
}

bool WatchReadable(int epoll, int fd) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = fd;
  return ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) == 0;
}

bool WatchReadable(int epoll, int fd, std::uint64_t tag) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = tag;
  return ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) == 0;
}

void Signal(int eventFd) {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(eventFd, &one, sizeof one);
}

bool Drain(int fd) {
  std::uint64_t count = 0;
  bool any = false;
  while (::read(fd, &count, sizeof count) > 0) {
    any = true;
  }
  return any;
}

}  // namespace quillpost::posix
