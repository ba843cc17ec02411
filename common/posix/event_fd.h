#pragma once

// The descriptors an event loop waits on: an epoll set and eventfd counters
// that make it readable on demand. Every descriptor is non-blocking and
// closed on exec; an invalid one means failure, with errno set.

#include <cstdint>

#include "posix/unique_fd.h"

namespace quillpost::posix {

UniqueFd NewEpoll();
UniqueFd NewEventFd();

// Adds fd to epoll, waiting for it to become readable. False on failure.
bool WatchReadable(int epoll, int fd);
// The same, with tag in the event's data instead of the descriptor.
bool WatchReadable(int epoll, int fd, std::uint64_t tag);

// Makes an eventfd readable. A failure means its counter is full, and then
// it is readable anyway.
void Signal(int eventFd);

// Reads whatever a non-blocking descriptor holds (an eventfd or timerfd
// counter); true when there was anything.
bool Drain(int fd);

}  // namespace quillpost::posix
