#include "connection_limits.h"

#include <sys/socket.h>

namespace quillpost::smtpd {

Admission ConnectionLimits::Admit(const IpAddress& client, int socket) {
  const std::lock_guard lock(mutex_);
  if (static_cast<int>(sockets_.size()) >= total_) {
    return Admission::TooManyInTotal;
  }
  int& count = perAddress_[client];
  if (count >= perClient_) {
    return Admission::TooManyFromClient;
  }
  ++count;
  sockets_.emplace(socket, client);
  return Admission::Admitted;
}

void ConnectionLimits::Release(const IpAddress& client, int socket) {
  const std::lock_guard lock(mutex_);
  if (const auto found = perAddress_.find(client);
      found != perAddress_.end() && --found->second <= 0) {
    perAddress_.erase(found);
  }
  sockets_.erase(socket);
  if (sockets_.empty()) {
    none_.notify_all();
  }
}

int ConnectionLimits::Active() const {
  const std::lock_guard lock(mutex_);
  return static_cast<int>(sockets_.size());
}

void ConnectionLimits::EndAll() {
  const std::lock_guard lock(mutex_);
  for (const auto& [socket, client] : sockets_) {
    ::shutdown(socket, SHUT_RD);
  }
}

bool ConnectionLimits::WaitForNone(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return none_.wait_for(lock, timeout, [&] { return sockets_.empty(); });
}

}  // namespace quillpost::smtpd
