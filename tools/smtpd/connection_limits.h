#pragma once

// Connections open at the same time, in total and per client address; and
// their sockets, so that a stopping listener can end every session.

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

#include "network_list.h"

namespace quillpost::smtpd {

enum class Admission { Admitted, TooManyInTotal, TooManyFromClient };

class ConnectionLimits {
 public:
  ConnectionLimits(int total, int perClient) : total_(total), perClient_(perClient) {}

  // Counts socket as open when both limits allow it.
  Admission Admit(const IpAddress& client, int socket);
  void Release(const IpAddress& client, int socket);

  int Active() const;
  // Ends the reading side of every open connection: each session sees its
  // client gone once it has answered what it is doing.
  void EndAll();
  // Waits until no connection is open; false when the time is up first.
  bool WaitForNone(std::chrono::milliseconds timeout);

 private:
  const int total_;
  const int perClient_;
  mutable std::mutex mutex_;
  std::condition_variable none_;
  std::map<IpAddress, int> perAddress_;
  std::map<int, IpAddress> sockets_;
};

}  // namespace quillpost::smtpd
